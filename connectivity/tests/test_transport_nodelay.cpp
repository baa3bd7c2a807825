// Connections send their blocks at once: small sends are not held back until the peer
// acknowledges earlier data (with a 4096-byte send buffer and 1536-byte blocks, held-back
// sends wait for the peer's delayed acknowledgements and transfers crawl).
#include "zr-internal.h"

#include <gtest/gtest.h>

#include "plain_socket.h"

namespace {

using zrtest::no_delay_of;

TEST(TransportNoDelay, ConnectionsOpenedAndAcceptedSendAtOnce) {
  ASSERT_EQ(KQ_ZR_1b_init(), 0);
  int listening = KQ_ZR_1b_bind(0x7F000001u, 0, 0, 0);
  ASSERT_GE(listening, 0);
  uint16_t port = zrtest::local_port_of(listening);
  ASSERT_NE(port, 0);

  int client = KQ_ZR_1b_bind(0, 0, 0x7F000001u, port);
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
