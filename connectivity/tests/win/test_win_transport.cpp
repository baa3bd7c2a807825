// The Win32 backend's socket layer on loopback (Winsock started as version 1.1, sockets
// that never block, select() waits, error numbers), and the host interface list that
// discovery reads through SIO_GET_INTERFACE_LIST, as Wine returns it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "win_support.h"

#include "zr-internal.h"

namespace {

const uint32_t kLoopback = 0x7F000001u;

class WinSockets : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(zr_os_net_start(), 0); }
  void TearDown() override {
    for (zr_os_sock s : {client_, server_, listener_})
      if (s != ZR_OS_NO_SOCK) zr_os_close(s);
    EXPECT_EQ(zr_os_net_stop(), 0);
  }

  // A listener on a loopback port of this process's own (tried from a number derived from
  // the process id, since the seam does not report a port the system picks).
  void listen_somewhere() {
    listener_ = zr_os_tcp_socket();
    ASSERT_NE(listener_, ZR_OS_NO_SOCK);
    for (int i = 0; i < 200; ++i) {
      port_ = static_cast<uint16_t>(20000 + (GetCurrentProcessId() * 7 + i * 131) % 30000);
      if (zr_os_bind(listener_, kLoopback, port_) == 0) break;
      port_ = 0;
    }
    ASSERT_NE(port_, 0);
    ASSERT_EQ(zr_os_listen(listener_, 4), 0);
  }

  void connect_pair() {
    listen_somewhere();
    client_ = zr_os_tcp_socket();
    ASSERT_NE(client_, ZR_OS_NO_SOCK);
    ASSERT_EQ(zr_os_connect(client_, kLoopback, port_, 2000), 0);
    uint32_t raddr = 0, laddr = 0;
    uint16_t rport = 0, lport = 0;
    server_ = zr_os_accept(listener_, &raddr, &rport, &laddr, &lport);
    ASSERT_NE(server_, ZR_OS_NO_SOCK);
    EXPECT_EQ(raddr, kLoopback);
    EXPECT_EQ(laddr, kLoopback);
    EXPECT_EQ(lport, port_);
    EXPECT_NE(rport, 0);
  }

  zr_os_sock listener_ = ZR_OS_NO_SOCK, client_ = ZR_OS_NO_SOCK, server_ = ZR_OS_NO_SOCK;
  uint16_t port_ = 0;
};

}  // namespace

TEST_F(WinSockets, StreamCarriesDataAndReportsTheClose) {
  connect_pair();
  EXPECT_EQ(zr_os_no_delay(client_), 0);
  EXPECT_EQ(zr_os_linger_off(client_), 0);
  EXPECT_EQ(zr_os_send_buffer(client_, 256 * 1024), 0);

  // Nothing there yet: a receive does not wait, and says so.
  char buf[64];
  EXPECT_EQ(zr_os_recv(server_, buf, sizeof buf), -1);
  EXPECT_TRUE(zr_os_would_block());
  EXPECT_EQ(zr_os_wait(server_, 1, 50), 0);
  EXPECT_EQ(zr_os_wait(client_, 2, 1000), 2);

  EXPECT_EQ(zr_os_send(client_, "hello", 5), 5);
  EXPECT_EQ(zr_os_wait(server_, 3, 2000), 1);
  EXPECT_EQ(zr_os_recv(server_, buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");

  zr_os_close(client_);
  client_ = ZR_OS_NO_SOCK;
  EXPECT_EQ(zr_os_wait(server_, 1, 2000), 1);
  EXPECT_EQ(zr_os_recv(server_, buf, sizeof buf), 0);
}

TEST_F(WinSockets, FullSocketSendsWhatFitsWithoutWaiting) {
  connect_pair();
  EXPECT_EQ(zr_os_coalesce(client_, 1), 0);
  std::string block(64 * 1024, 'x');
  long total = 0;
  int n = 0;
  // Nobody reads: the sends fill the buffers and then report a full socket, never block.
  for (int i = 0; i < 2000; ++i) {
    n = zr_os_send(client_, block.data(), static_cast<int>(block.size()));
    if (n < 0) break;
    total += n;
  }
  EXPECT_EQ(n, -1);
  EXPECT_TRUE(zr_os_would_block());
  EXPECT_GT(total, 0);
  EXPECT_EQ(zr_os_coalesce(client_, 0), 0);
}

TEST_F(WinSockets, RefusedConnectionFailsWithItsErrorNumber) {
  listen_somewhere();
  // The port of a listener that has gone: nobody accepts there any more.
  zr_os_close(listener_);
  listener_ = ZR_OS_NO_SOCK;
  client_ = zr_os_tcp_socket();
  ASSERT_NE(client_, ZR_OS_NO_SOCK);
  EXPECT_EQ(zr_os_connect(client_, kLoopback, port_, 2000), -1);
  EXPECT_EQ(zr_os_errno(), ECONNREFUSED);
}

TEST_F(WinSockets, DatagramsAndNames) {
  zr_os_sock a = zr_os_udp_socket(), b = zr_os_udp_socket();
  ASSERT_NE(a, ZR_OS_NO_SOCK);
  ASSERT_NE(b, ZR_OS_NO_SOCK);
  uint16_t port = 0;
  for (int i = 0; i < 200 && port == 0; ++i) {
    port = static_cast<uint16_t>(20000 + (GetCurrentProcessId() * 11 + i * 97) % 30000);
    if (zr_os_bind(b, kLoopback, port) != 0) port = 0;
  }
  ASSERT_NE(port, 0);
  char buf[4];
  EXPECT_EQ(zr_os_recvfrom(b, buf, sizeof buf), -1);  // nothing there: no wait
  EXPECT_TRUE(zr_os_would_block());
  EXPECT_EQ(zr_os_sendto(a, "orvXYZ", 6, kLoopback, port), 6);
  EXPECT_EQ(zr_os_wait(b, 1, 2000), 1);
  EXPECT_EQ(zr_os_recvfrom(b, buf, sizeof buf), 4);  // cut to the buffer
  EXPECT_EQ(std::string(buf, 3), "orv");
  zr_os_close(a);
  zr_os_close(b);

  uint32_t addr = 0;
  EXPECT_EQ(zr_os_resolve("127.1.2.3", &addr), 0);
  EXPECT_EQ(addr, 0x7F010203u);
  EXPECT_EQ(zr_os_resolve("localhost", &addr), 0);
  EXPECT_EQ(addr >> 24, 127u);
  EXPECT_EQ(zr_os_resolve("no-such-host.invalid", &addr), -1);
}

TEST_F(WinSockets, InterfaceListHoldsTheLoopbackAndReportsItsWholeLength) {
  zr_os_sock s = zr_os_udp_socket();
  ASSERT_NE(s, ZR_OS_NO_SOCK);
  int total = zr_os_if_list(s, nullptr, 0);
  ASSERT_GE(total, 1);
  std::vector<zr_os_ifentry> list(static_cast<size_t>(total) + 2, zr_os_ifentry{0xffff, 0xffffffffu});
  EXPECT_EQ(zr_os_if_list(s, list.data(), total), total);
  bool loopback = false;
  for (int i = 0; i < total; ++i)
    if (list[i].family == ZR_OS_AF_INET && list[i].addr == kLoopback) loopback = true;
  EXPECT_TRUE(loopback);
  EXPECT_EQ(list[total].family, 0xffff);  // nothing stored past the capacity
  if (total > 1) {
    zr_os_ifentry one{0, 0};
    EXPECT_EQ(zr_os_if_list(s, &one, 1), total);
    EXPECT_EQ(one.family, list[0].family);
    EXPECT_EQ(one.addr, list[0].addr);
  }
  zr_os_close(s);
}

// Discovery reads the same list through the library (candidates only: nothing is probed).
TEST(WinDiscovery, CandidatesComeFromTheInterfaceList) {
  ASSERT_EQ(KQ_ZR_1b_init(), 0);
  int h = KQ_ZR_en_init();
  ASSERT_EQ(h, 1);
  zr_enum_rec rec;
  int r = 0, count = 0;
  while ((r = KQ_ZR_en_next(h, &rec)) == 0 && count < 100) ++count;
  EXPECT_EQ(r, -1);  // the end of the list, not a failure to read it (-61, -62)
  EXPECT_EQ(KQ_ZR_en_done(h), 0);
  KQ_ZR_1b_done();
}
