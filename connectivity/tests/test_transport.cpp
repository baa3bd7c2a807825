// The connection table and stream transport, over real loopback sockets.
#include "zr-internal.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "plain_socket.h"
#ifndef _WIN32
#include "descriptor_limit.h"
#include "signal_ticker.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

using zrtest::local_port_of;

struct Transport : ::testing::Test {
  void SetUp() override {
    ASSERT_EQ(KQ_ZR_1b_init(), 0);
    zr_tune zero{0, 0};
    KQ_ZR_sl_tune(2, &zero);
  }
  void TearDown() override {
    KQ_ZR_1b_done();
    zr_tune zero{0, 0};
    KQ_ZR_sl_tune(2, &zero);
  }

  // A listening handle on 127.0.0.1 with a port chosen by the system.
  static int listener(uint16_t *port) {
    int h = KQ_ZR_1b_bind(0x7F000001u, 0, 0, 0);
    if (h >= 0) *port = local_port_of(h);
    return h;
  }

  // A connection from the library to a listener of its own, and the accepted end.  The
  // tear-down's KQ_ZR_1b_done closes them all.
  static void connected_pair(int *client, int *peer) {
    uint16_t port = 0;
    int l = listener(&port);
    ASSERT_GE(l, 0);
    *client = KQ_ZR_1b_bind(0, 0, 0x7F000001u, port);
    ASSERT_GE(*client, 0);
    *peer = KQ_ZR_1b_recv(l, 0, nullptr, 0);
    ASSERT_GE(*peer, 0);
  }
};

TEST_F(Transport, PrivilegedLocalPortsAreRefused) {
  EXPECT_EQ(KQ_ZR_1b_bind(0, 1023, 0x7F000001u, 10001), ZR_E_PRIVPORT);
  EXPECT_EQ(KQ_ZR_1b_bind(0, 1, 0x7F000001u, 10001), ZR_E_PRIVPORT);
  uint16_t port = 0;
  int l = listener(&port);
  ASSERT_GE(l, 0);
  // Local port 1024 is allowed (the connect then reaches our listener).
  int h = KQ_ZR_1b_bind(0, 1024, 0, port);
  if (h == ZR_E_BIND) GTEST_SKIP() << "port 1024 is taken on this machine";
  ASSERT_GE(h, 0);
  EXPECT_EQ(local_port_of(h), 1024);
  KQ_ZR_1b_unbind(h);
  KQ_ZR_1b_unbind(l);
}

TEST_F(Transport, OutOfRangePortsAreRefused) {
  EXPECT_EQ(KQ_ZR_1b_bind(0, 70000, 0x7F000001u, 10001), ZR_E_BIND);
  EXPECT_EQ(KQ_ZR_1b_bind(0, 0, 0x7F000001u, 65536 + 10001), ZR_E_CONNECT);
  // Port 65535 itself is a port like any other, as local and as remote port.
  int probe = zrtest::plain_tcp_socket();
  bool free_port = zrtest::plain_bind(probe, 0x7F000001u, 65535) == 0;
  zrtest::plain_close(probe);
  if (!free_port) GTEST_SKIP() << "port 65535 is taken on this machine";
  int top = KQ_ZR_1b_bind(0x7F000001u, 65535, 0, 0);
  ASSERT_GE(top, 0);
  EXPECT_GE(KQ_ZR_1b_bind(0, 0, 0x7F000001u, 65535), 0);
}

TEST_F(Transport, AutomaticPortsCycleFrom57345) {
  uint16_t port = 0;
  int l = listener(&port);
  ASSERT_GE(l, 0);
  int a = KQ_ZR_1b_bind(0, 0, 0, port);
  int b = KQ_ZR_1b_bind(0, 0, 0, port);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  // Another test process may hold one of these ports at the same moment; the library then
  // moves on to the next one, so only the order is certain.
  EXPECT_GE(local_port_of(a), 57345);
  EXPECT_GT(local_port_of(b), local_port_of(a));
  EXPECT_LE(local_port_of(b), 61439);
#ifndef _WIN32
  // Ports that other sockets listen on are passed over for the next ones of the cycle (on
  // Windows address reuse lets a bind share a listener's port).
  const uint16_t next = static_cast<uint16_t>(local_port_of(b) + 1);
  int held[2] = {KQ_ZR_1b_bind(0, next, 0, 0), KQ_ZR_1b_bind(0, next + 1, 0, 0)};
  ASSERT_GE(held[0], 0);
  ASSERT_GE(held[1], 0);
  int c = KQ_ZR_1b_bind(0, 0, 0, port);
  ASSERT_GE(c, 0);
  EXPECT_GT(local_port_of(c), next + 1);
  EXPECT_LE(local_port_of(c), next + 8);
  KQ_ZR_1b_unbind(held[0]);
  KQ_ZR_1b_unbind(held[1]);
  KQ_ZR_1b_unbind(c);
#endif
  KQ_ZR_1b_unbind(a);
  KQ_ZR_1b_unbind(b);
  KQ_ZR_1b_unbind(l);
}

TEST_F(Transport, AnAutomaticPortHeldByAnotherConnectionIsPassedWithoutASecondPause) {
  uint16_t port = 0;
  int l = listener(&port);
  ASSERT_GE(l, 0);
  // What another process walking the same ports does: it holds the connection from the
  // first automatic port to the same peer.  The bind of that port succeeds (both share
  // it), the connect finds the address in use.
  int other = KQ_ZR_1b_bind(0, 57345, 0x7F000001u, port);
  ASSERT_GE(other, 0);
  zri_set_bind_pause(300);
  auto start = Clock::now();
  int h = KQ_ZR_1b_bind(0, 0, 0x7F000001u, port);
  long ms = elapsed_ms(start);
  zri_set_bind_pause(40);
  ASSERT_GE(h, 0) << "errno " << KQ_ZR_errno();
  EXPECT_GT(local_port_of(h), 57345);
  EXPECT_GE(ms, 290);
  EXPECT_LT(ms, 550) << "the pause is made once, not again for the next port";
  KQ_ZR_1b_unbind(h);
  KQ_ZR_1b_unbind(other);
  KQ_ZR_1b_unbind(l);
}

TEST_F(Transport, RemoteAddressZeroMeansLoopback) {
  uint16_t port = 0;
  int l = listener(&port);
  ASSERT_GE(l, 0);
  int h = KQ_ZR_1b_bind(0, 0, 0, port);
  ASSERT_GE(h, 0);
  zr_conn_info info{};
  ASSERT_EQ(KQ_ZR_1b_info(h, &info), 0);
  EXPECT_EQ(info.raddr, 0x7F000001u);
  EXPECT_EQ(info.rport, port);
  // The endpoints are recorded as asked for, not as the system chose them.
  EXPECT_EQ(info.laddr, 0u);
  EXPECT_EQ(info.lport, 0u);

  int accepted = KQ_ZR_1b_recv(l, 0, nullptr, 0);
  ASSERT_GE(accepted, 0);
  ASSERT_EQ(KQ_ZR_1b_info(accepted, &info), 0);
  EXPECT_EQ(info.raddr, 0x7F000001u);
  EXPECT_EQ(info.rport, local_port_of(h));
  EXPECT_EQ(info.laddr, 0x7F000001u);
  EXPECT_EQ(info.lport, port);
  KQ_ZR_1b_unbind(accepted);
  KQ_ZR_1b_unbind(h);
  KQ_ZR_1b_unbind(l);
}

TEST_F(Transport, DataFlowsBothWaysAndIsCounted) {
  int h = -1, peer = -1;
  ASSERT_NO_FATAL_FAILURE(connected_pair(&h, &peer));

  zr_stat st{};
  KQ_ZR_sl_stat(3, &st);
  EXPECT_EQ(KQ_ZR_1b_send(h, 0, "0123456789", 10), 10);
  char buf[16];
  int got = 0;
  while (got < 4) {
    int n = KQ_ZR_1b_recv(peer, 0, buf + got, 4 - got);
    ASSERT_GT(n, 0);
    got += n;
  }
  KQ_ZR_sl_stat(1, &st);
  EXPECT_EQ(st.xpay0, 10u);
  EXPECT_EQ(st.xpay1, 1u);
  EXPECT_EQ(st.rpay0, 4u);
  EXPECT_GE(st.rpay1, 1u);
  while (got < 10) {
    int n = KQ_ZR_1b_recv(peer, 0, buf + got, 10 - got);
    ASSERT_GT(n, 0);
    got += n;
  }
  EXPECT_EQ(std::string(buf, 10), "0123456789");

  // A zero-length send sends nothing but still counts.
  EXPECT_EQ(KQ_ZR_1b_send(h, 0, "", 0), 0);
  KQ_ZR_sl_stat(1, &st);
  EXPECT_EQ(st.xpay1, 2u);

  // A receive of 0 bytes waits for data and takes none of it.
  ASSERT_EQ(KQ_ZR_1b_send(h, 0, "ab", 2), 2);
  EXPECT_EQ(KQ_ZR_1b_recv(peer, 0, nullptr, 0), 0);
  EXPECT_EQ(KQ_ZR_1b_recv(peer, 0, buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "ab");

  // The peer closing shows as a receive of 0 bytes.
  KQ_ZR_1b_unbind(peer);
  char rest[16];
  int n;
  while ((n = KQ_ZR_1b_recv(h, 0, rest, sizeof rest)) > 0)
    ;
  EXPECT_EQ(n, 0);
}

#ifndef _WIN32
TEST_F(Transport, SocketsOnDescriptorZeroWork) {
  // With standard input closed, the first socket gets descriptor 0: a valid socket.
  int saved = dup(0);
  close(0);
  uint16_t port = 0;
  int l = listener(&port);
  struct stat st;
  bool on_zero = fstat(0, &st) == 0 && S_ISSOCK(st.st_mode);
  int client = l >= 0 ? KQ_ZR_1b_bind(0, 0, 0x7F000001u, port) : -1;
  int peer = client >= 0 ? KQ_ZR_1b_recv(l, 0, nullptr, 0) : -1;
  int sent = peer >= 0 ? KQ_ZR_1b_send(client, 0, "abc", 3) : -1;
  char buf[4] = {};
  int got = sent == 3 ? KQ_ZR_1b_recv(peer, 0, buf, 3) : -1;
  int unbound = KQ_ZR_1b_unbind(l);
  bool closed = fcntl(0, F_GETFD) < 0;
  if (saved >= 0) {
    dup2(saved, 0);
    close(saved);
  }
  EXPECT_TRUE(on_zero);
  EXPECT_GE(l, 0);
  EXPECT_GE(client, 0);
  EXPECT_GE(peer, 0);
  EXPECT_EQ(sent, 3);
  EXPECT_EQ(got, 3);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(unbound, 0);
  EXPECT_TRUE(closed) << "the unbind closed descriptor 0";
}
#endif

TEST_F(Transport, LargeSendToASlowReaderArrivesWhole) {
  int h = -1, peer = -1;
  ASSERT_NO_FATAL_FAILURE(connected_pair(&h, &peer));
  std::vector<char> data(4 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  std::vector<char> got;
  std::thread reader([&] {
    char buf[1536];
    int fd = peer;
    while (got.size() < data.size()) {
      long n = zrtest::plain_recv(fd, buf, sizeof buf);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
  });
  EXPECT_EQ(KQ_ZR_1b_send(h, 0, data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
  reader.join();
  EXPECT_TRUE(got == data);
}

TEST_F(Transport, ReceiveTimesOutOnlyAfterTuning) {
  int h = -1, peer = -1;
  ASSERT_NO_FATAL_FAILURE(connected_pair(&h, &peer));

  zr_tune t{};
  ASSERT_EQ(KQ_ZR_1b_tune(h, 1, &t), 0);
  EXPECT_EQ(t.rtime, 0u);
  EXPECT_EQ(t.xtime, 0u);
  // Without a limit the wait would go on: it is still waiting 150 ms later.
  EXPECT_EQ(KQ_ZR_1b_ready(h, 1), 0);

  t = {250, 0xFFFFFFFFu};
  ASSERT_EQ(KQ_ZR_1b_tune(h, 2, &t), 0);
  EXPECT_EQ(t.rtime, 250u);
  EXPECT_EQ(t.xtime, 0u);
  t = {0xFFFFFFFFu, 0};
  ASSERT_EQ(KQ_ZR_1b_tune(h, 2, &t), 0);
  EXPECT_EQ(t.rtime, 250u);
  char buf[8];
  auto start = Clock::now();
  EXPECT_EQ(KQ_ZR_1b_recv(h, 0, buf, sizeof buf), ZR_E_TIMEOUT);
  long ms = elapsed_ms(start);
  EXPECT_GE(ms, 240);
  EXPECT_LT(ms, 2000);
  // The connection stays usable after a time-out.
  ASSERT_EQ(KQ_ZR_1b_send(peer, 0, "x", 1), 1);
  EXPECT_EQ(KQ_ZR_1b_recv(h, 0, buf, sizeof buf), 1);
  EXPECT_EQ(KQ_ZR_1b_tune(h, 9, &t), ZR_E_SOCKET);
  EXPECT_EQ(KQ_ZR_1b_tune(h, 1, nullptr), ZR_E_HANDLE);
}

#ifndef _WIN32
TEST_F(Transport, ASignalInTheMiddleOfAWaitNeitherEndsNorFailsIt) {
  // A program that uses signals (a Java VM does) interrupts system calls of the library's
  // thread: the wait goes on for the time that is left.
  int h = -1, peer = -1;
  ASSERT_NO_FATAL_FAILURE(connected_pair(&h, &peer));
  zr_tune t{400, 0xFFFFFFFFu};
  ASSERT_EQ(KQ_ZR_1b_tune(h, 2, &t), 0);
  char buf[8];
  int r, got, l, c;
  long ms, connect_ms;
  {
    zrtest::SignalTicker ticks(10);
    auto start = Clock::now();
    r = KQ_ZR_1b_recv(h, 0, buf, sizeof buf);
    ms = elapsed_ms(start);
    // Data that comes after a few signals arrives.
    std::thread later([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(180));
      KQ_ZR_1b_send(peer, 0, "late", 4);
    });
    got = KQ_ZR_1b_recv(h, 0, buf, sizeof buf);
    later.join();
    // The pause before a connection from an automatic port goes on as well.
    uint16_t port = 0;
    l = listener(&port);
    auto connecting = Clock::now();
    c = KQ_ZR_1b_bind(0, 0, 0x7F000001u, port);
    connect_ms = elapsed_ms(connecting);
  }
  EXPECT_EQ(r, ZR_E_TIMEOUT);
  EXPECT_GE(ms, 390);
  EXPECT_LT(ms, 2000);
  EXPECT_EQ(got, 4);
  EXPECT_EQ(std::string(buf, 4), "late");
  EXPECT_GE(l, 0);
  EXPECT_GE(c, 0);
  EXPECT_GE(connect_ms, 39);
}
#endif

TEST_F(Transport, SendToAPeerThatNeverReadsTimesOut) {
  zr_tune t{0, 200};
  KQ_ZR_sl_tune(2, &t);
  int h = -1, peer = -1;
  ASSERT_NO_FATAL_FAILURE(connected_pair(&h, &peer));
  std::vector<char> data(16 << 20);
  auto start = Clock::now();
  EXPECT_EQ(KQ_ZR_1b_send(h, 0, data.data(), static_cast<int>(data.size())), ZR_E_TIMEOUT);
  EXPECT_LT(elapsed_ms(start), 5000);
  // A send of nothing waits for writability too, and so times out as well.
  start = Clock::now();
  EXPECT_EQ(KQ_ZR_1b_send(h, 0, data.data(), 0), ZR_E_TIMEOUT);
  EXPECT_GE(elapsed_ms(start), 150);
}

TEST_F(Transport, NewConnectionsCopyTheLibraryWidePair) {
  uint16_t port = 0;
  int l = listener(&port);
  int before = KQ_ZR_1b_bind(0, 0, 0x7F000001u, port);
  zr_tune t{5000, 0xFFFFFFFFu};
  ASSERT_EQ(KQ_ZR_sl_tune(2, &t), 0);
  EXPECT_EQ(t.rtime, 5000u);
  EXPECT_EQ(t.xtime, 0u);
  int after = KQ_ZR_1b_bind(0, 0, 0x7F000001u, port);
  zr_tune a{}, b{};
  KQ_ZR_1b_tune(before, 1, &b);
  KQ_ZR_1b_tune(after, 1, &a);
  EXPECT_EQ(b.rtime, 0u);
  EXPECT_EQ(a.rtime, 5000u);
  KQ_ZR_1b_unbind(before);
  KQ_ZR_1b_unbind(after);
  KQ_ZR_1b_unbind(l);
}

TEST_F(Transport, BadHandlesAndFlags) {
  char buf[4];
  zr_conn_info info;
  zr_tune t{};
  EXPECT_EQ(KQ_ZR_1b_send(30000, 0, "x", 1), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_1b_recv(-5, 0, buf, 4), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_1b_info(30000, &info), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_1b_tune(30000, 1, &t), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_1b_ready(30000, 0), 0);
  EXPECT_EQ(KQ_ZR_1b_ready(-1, 1), 0);

  uint16_t port = 0;
  int l = listener(&port);
  int h = KQ_ZR_1b_bind(0, 0, 0x7F000001u, port);
  ASSERT_GE(h, 0);
  zr_stat st{};
  KQ_ZR_sl_stat(3, &st);
  EXPECT_EQ(KQ_ZR_1b_send(h, 1, "x", 1), ZR_E_FLAGS);
  EXPECT_EQ(KQ_ZR_1b_recv(h, 2, buf, 4), ZR_E_FLAGS);
  EXPECT_EQ(KQ_ZR_1b_send(h, 0, "x", -1), ZR_E_FLAGS);
  EXPECT_EQ(KQ_ZR_1b_send(h, 0, nullptr, 5), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_1b_recv(h, 0, buf, -1), ZR_E_FLAGS);
  EXPECT_EQ(KQ_ZR_1b_recv(h, 0, nullptr, 4), ZR_E_HANDLE);
  KQ_ZR_sl_stat(1, &st);
  EXPECT_EQ(st.xpay1, 0u);
  EXPECT_EQ(st.rpay1, 0u);
  EXPECT_EQ(KQ_ZR_1b_ready(h, 0), 0);
  EXPECT_EQ(KQ_ZR_1b_ready(h, 2), 2);
  EXPECT_EQ(KQ_ZR_1b_info(h, nullptr), ZR_E_HANDLE);
  KQ_ZR_1b_unbind(h);
  KQ_ZR_1b_unbind(l);
}

#ifndef _WIN32
// A program that closed its standard input has its next socket on descriptor 0: that
// handle is one as any other.
TEST_F(Transport, AConnectionOnDescriptorZeroIsAHandleAsAnyOther) {
  uint16_t port = 0;
  int l = listener(&port);
  ASSERT_GE(l, 0);
  const int saved = dup(0);
  ASSERT_GE(saved, 0);
  close(0);
  int h = KQ_ZR_1b_bind(0, 0, 0x7F000001u, port);
  int peer = h >= 0 ? KQ_ZR_1b_recv(l, 0, nullptr, 0) : -1;  // (an accept waits for ever)
  EXPECT_EQ(h, 0);
  EXPECT_EQ(KQ_ZR_1b_ready(h, 3), 2) << "writable, nothing to read yet";
  EXPECT_EQ(KQ_ZR_1b_send(peer, 0, "ab", 2), 2);
  for (int i = 0; i < 2000 && KQ_ZR_1b_ready(h, 1) != 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(KQ_ZR_1b_ready(h, 1), 1);
  char buf[4];
  EXPECT_EQ(KQ_ZR_1b_recv(h, 0, buf, sizeof buf), 2);
  zr_conn_info info;
  EXPECT_EQ(KQ_ZR_1b_info(h, &info), 0);
  EXPECT_EQ(info.rport, port);
  KQ_ZR_1b_unbind(h);
  EXPECT_EQ(fcntl(0, F_GETFD), -1) << "descriptor 0 closed by the unbind";
  dup2(saved, 0);
  close(saved);
}
#endif

TEST_F(Transport, UnbindClosesSocketsTheTableDoesNotKnow) {
  int fd = zrtest::plain_tcp_socket();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(KQ_ZR_1b_unbind(fd), 0);
  EXPECT_EQ(zrtest::plain_close(fd), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(KQ_ZR_1b_unbind(-1), 0);
}

TEST_F(Transport, FailedConnectKeepsItsErrorNumber) {
  // Find a loopback port with nobody listening.
  int fd = zrtest::plain_tcp_socket();
  zrtest::plain_bind(fd, 0x7F000001u, 0);
  uint16_t port = local_port_of(fd);
  zrtest::plain_close(fd);
  EXPECT_EQ(KQ_ZR_1b_bind(0, 0, 0x7F000001u, port), ZR_E_CONNECT);
  EXPECT_EQ(KQ_ZR_errno(), ECONNREFUSED);
#ifndef _WIN32
  // An accept without a descriptor left for the connection fails with its error number at
  // once.
  int l = listener(&port);
  ASSERT_GE(l, 0);
  int client = KQ_ZR_1b_bind(0, 0, 0x7F000001u, port);
  ASSERT_GE(client, 0);
  int refused = 0, refused_errno = 0;
  {
    zrtest::NoDescriptorLeft none;
    ASSERT_TRUE(none.ok());
    refused = KQ_ZR_1b_recv(l, 0, nullptr, 0);
    refused_errno = KQ_ZR_errno();
  }
  EXPECT_EQ(refused, ZR_E_SOCKET);
  EXPECT_EQ(refused_errno, EMFILE);
#endif
}

#ifndef _WIN32
// The last system error value is cleared before each socket call, so that it reports the
// call that failed, never an older number: after calls that succeed it is 0.
TEST_F(Transport, TheLastSystemErrorIsClearedBeforeSocketCalls) {
  int h = -1, peer = -1;
  ASSERT_NO_FATAL_FAILURE(connected_pair(&h, &peer));
  EXPECT_EQ(KQ_ZR_1b_ready(h, 3), 2) << "writable, nothing to read yet";
  zr_os_set_errno(EDOM);
  EXPECT_EQ(KQ_ZR_1b_send(peer, 0, "ab", 2), 2);
  EXPECT_EQ(KQ_ZR_errno(), 0) << "send";
  char buf[4];
  while (KQ_ZR_1b_ready(h, 1) != 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(KQ_ZR_1b_ready(h, 3), 1) << "readable comes first";
  zr_os_set_errno(EDOM);
  EXPECT_EQ(KQ_ZR_1b_recv(h, 0, buf, 1), 1);
  EXPECT_EQ(KQ_ZR_errno(), 0) << "receive of data that was there";
  EXPECT_EQ(KQ_ZR_1b_recv(h, 0, buf, 1), 1);
  // A receive that finds nothing waits (the system says "try again") and receives again.
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    (void)::send(peer, "c", 1, 0);  // behind the library's back: it is called from one thread
  });
  zr_os_set_errno(EDOM);
  EXPECT_EQ(KQ_ZR_1b_recv(h, 0, buf, 1), 1);
  EXPECT_EQ(KQ_ZR_errno(), 0) << "receive after a wait";
  later.join();
  zr_os_set_errno(EDOM);
  EXPECT_EQ(KQ_ZR_1b_unbind(peer), 0);
  EXPECT_EQ(KQ_ZR_errno(), 0) << "close";
}
#endif

TEST_F(Transport, LostEntryMemoryClosesTheSocket) {
  uint16_t port = 0;
  int l = listener(&port);
  ASSERT_GE(l, 0);
  zri_set_allocator([](size_t) -> void * { return nullptr; });
  ::testing::internal::CaptureStderr();
  int h = KQ_ZR_1b_bind(0x7F000001u, 0, 0x7F000001u, port);
  std::string err = ::testing::internal::GetCapturedStderr();
  zri_set_allocator(nullptr);
  EXPECT_EQ(h, ZR_E_SOCKET);
  EXPECT_NE(err.find("for socket"), std::string::npos);
  // The refused connection was closed: the listener sees it come and go.
  int peer = KQ_ZR_1b_recv(l, 0, nullptr, 0);
  ASSERT_GE(peer, 0);
  char buf[4];
  EXPECT_EQ(KQ_ZR_1b_recv(peer, 0, buf, sizeof buf), 0);
  KQ_ZR_1b_unbind(peer);
  KQ_ZR_1b_unbind(l);
}

TEST(TransportLifecycle, NestedStartsKeepConnectionsUntilTheLastStop) {
  ASSERT_EQ(KQ_ZR_1b_init(), 0);
  ASSERT_EQ(KQ_ZR_1b_init(), 0);
  int l = KQ_ZR_1b_bind(0x7F000001u, 0, 0, 0);
  ASSERT_GE(l, 0);
  EXPECT_EQ(KQ_ZR_1b_done(), 0);
  zr_conn_info info;
  EXPECT_EQ(KQ_ZR_1b_info(l, &info), 0);
  EXPECT_EQ(KQ_ZR_1b_done(), 0);
  EXPECT_EQ(KQ_ZR_1b_info(l, &info), ZR_E_HANDLE);
  // A stop too many leaves the library able to start again.
  EXPECT_EQ(KQ_ZR_1b_done(), 0);
  ASSERT_EQ(KQ_ZR_1b_init(), 0);
  l = KQ_ZR_1b_bind(0x7F000001u, 0, 0, 0);
  EXPECT_GE(l, 0);
  EXPECT_EQ(KQ_ZR_1b_done(), 0);
  EXPECT_EQ(KQ_ZR_1b_info(l, &info), ZR_E_HANDLE);
}

}  // namespace
