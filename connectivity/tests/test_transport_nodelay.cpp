// Connections send their blocks at once: small sends are not held back until the peer
// acknowledges earlier data (with a 4096-byte send buffer and 1536-byte blocks, held-back
// sends wait for the peer's delayed acknowledgements and transfers crawl).
#include "zr-internal.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int no_delay_of(int fd)
{
    int value = -1;
    socklen_t len = sizeof value;
    if (getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &len) != 0)
        return -1;
    return value;
}

TEST(TransportNoDelay, ConnectionsOpenedAndAcceptedSendAtOnce)
{
    ASSERT_EQ(KQ_ZR_1b_init(), 0);
    int listening = KQ_ZR_1b_bind(0x7F000001u, 0, 0, 0);
    ASSERT_GE(listening, 0);
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ASSERT_EQ(getsockname(listening, reinterpret_cast<sockaddr *>(&sa), &len), 0);

    int client = KQ_ZR_1b_bind(0, 0, 0x7F000001u, ntohs(sa.sin_port));
    ASSERT_GE(client, 0);
    int accepted = KQ_ZR_1b_recv(listening, 0, nullptr, 0);
    ASSERT_GE(accepted, 0);

    EXPECT_GT(no_delay_of(client), 0);
    EXPECT_GT(no_delay_of(accepted), 0);

    KQ_ZR_1b_unbind(accepted);
    KQ_ZR_1b_unbind(client);
    KQ_ZR_1b_unbind(listening);
    KQ_ZR_1b_done();
}

}  // namespace
