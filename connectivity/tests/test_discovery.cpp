// Discovery: the scan of the host's interface list (through a list the test supplies) and
// the liveness probe against simulators on loopback addresses.
//
// Nothing here sends a datagram to a 172.16 address: lists holding 172.16 addresses are
// only walked with KQ_ZR_en_next, which never probes, and KQ_ZR_en_enum runs with a probe
// map that sends every probe to a loopback simulator.
#include "sim_process.h"
#include "zr-internal.h"
#if !defined(_WIN32)
#include "descriptor_limit.h"

#include <ifaddrs.h>
#include <netinet/in.h>
#endif

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using zrtest::SimProcess;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kInet6 = 10;

uint32_t ip(unsigned a, unsigned b, unsigned c, unsigned d) { return (a << 24) | (b << 16) | (c << 8) | d; }

zr_os_ifentry v4(uint32_t addr) { return zr_os_ifentry{ZR_OS_AF_INET, addr}; }

// The interface list the scan sees.
std::vector<zr_os_ifentry> g_list;
std::vector<zr_os_ifentry> g_second_list;  // what a second read returns, when not empty
bool g_list_fails = false;
int g_reads = 0;

int fake_list(zr_os_ifentry *list, int capacity) {
  ++g_reads;
  if (g_list_fails) return -1;
  const std::vector<zr_os_ifentry> &src = (g_reads > 1 && !g_second_list.empty()) ? g_second_list : g_list;
  for (size_t i = 0; i < src.size() && static_cast<int>(i) < capacity; ++i) list[i] = src[i];
  return static_cast<int>(src.size());
}

// Where KQ_ZR_en_enum's probes go: every candidate to a loopback address.
std::map<uint32_t, uint32_t> g_probe_map;
uint32_t g_probe_default = 0;
std::vector<uint32_t> g_probed;

uint32_t map_probe(uint32_t candidate) {
  g_probed.push_back(candidate);
  auto it = g_probe_map.find(candidate);
  uint32_t target = it != g_probe_map.end() ? it->second : g_probe_default;
  // Never anything but loopback.
  return (target >> 24) == 127 ? target : 0x7F000001u;
}

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The probe datagrams a simulator received (logged with connection number 0).
std::vector<std::string> probes_seen(const SimProcess &sim) {
  std::vector<std::string> out;
  std::vector<std::string> lines = sim.log_lines();
  std::vector<std::string> requests = sim.requests();
  for (size_t i = 0; i < lines.size() && i < requests.size(); ++i)
    if (lines[i].rfind("0 ", 0) == 0) out.push_back(requests[i]);
  return out;
}

struct Enumeration : ::testing::Test {
  void SetUp() override {
    // The socket layer is started first, as the library's callers do (Winsock needs it).
    ASSERT_EQ(KQ_ZR_1b_init(), 0);
    g_list.clear();
    g_second_list.clear();
    g_list_fails = false;
    g_reads = 0;
    zri_set_if_list(fake_list);
  }
  void TearDown() override {
    KQ_ZR_en_done(1);
    zri_set_if_list(nullptr);
    zri_set_probe_map(nullptr);
    zri_set_allocator(nullptr);
    KQ_ZR_1b_done();
  }
  // Every candidate of a fresh enumeration, then the final result.
  std::vector<zr_enum_rec> all_candidates(int *final_result) {
    std::vector<zr_enum_rec> out;
    int h = KQ_ZR_en_init();
    EXPECT_EQ(h, 1);
    zr_enum_rec r;
    int got;
    while ((got = KQ_ZR_en_next(h, &r)) == 0) out.push_back(r);
    *final_result = got;
    EXPECT_EQ(KQ_ZR_en_done(h), 0);
    return out;
  }
};

TEST_F(Enumeration, MatchingInterfaceYieldsTheNextAddress) {
  g_list = {v4(ip(192, 168, 1, 10)), v4(ip(172, 16, 0, 1))};
  int h = KQ_ZR_en_init();
  ASSERT_EQ(h, 1);
  zr_enum_rec r;
  std::memset(&r, 0xAB, sizeof r);
  zr_os_set_errno(EDOM);
  ASSERT_EQ(KQ_ZR_en_next(h, &r), 0);
  EXPECT_EQ(KQ_ZR_errno(), 0) << "cleared before the query socket";
  EXPECT_EQ(r.addr, 0xAC100002u);
  EXPECT_EQ(r.group, 4);
  EXPECT_EQ(r.slot, 1);
  EXPECT_EQ(r.reserved, 0u);
  EXPECT_EQ(r.name, nullptr);
  for (uint8_t b : r.reserved2) EXPECT_EQ(b, 0);

  std::memset(&r, 0xAB, sizeof r);
  EXPECT_EQ(KQ_ZR_en_next(h, &r), -1);
  zr_enum_rec zero;
  std::memset(&zero, 0, sizeof zero);
  EXPECT_EQ(std::memcmp(&r, &zero, sizeof r), 0) << "the record is zeroed on every call";
  EXPECT_EQ(KQ_ZR_en_done(h), 0);
}

TEST_F(Enumeration, OnlyHostSideAddressesOf172_16Match) {
  int final_result = 0;
  g_list = {v4(ip(172, 16, 0, 2)), v4(ip(172, 17, 0, 1)),
            v4(ip(172, 16, 0, 3)), v4(ip(172, 16, 0, 0)),
            v4(ip(10, 16, 0, 1)),  v4(ip(172, 15, 255, 253)),
            v4(ip(173, 16, 0, 1)), zr_os_ifentry{kInet6, ip(172, 16, 0, 1)}};
  EXPECT_TRUE(all_candidates(&final_result).empty());
  EXPECT_EQ(final_result, -1);

  g_list = {v4(ip(172, 16, 255, 253))};
  std::vector<zr_enum_rec> got = all_candidates(&final_result);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].addr, ip(172, 16, 255, 254));
  EXPECT_EQ(final_result, -1);
}

TEST_F(Enumeration, CandidatesComeInListOrderWithTheirSlots) {
  int final_result = 0;
  g_list = {v4(ip(172, 16, 0, 1)), zr_os_ifentry{kInet6, 0}, v4(ip(10, 0, 0, 1)), v4(ip(172, 16, 0, 5))};
  std::vector<zr_enum_rec> got = all_candidates(&final_result);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].addr, ip(172, 16, 0, 2));
  EXPECT_EQ(got[0].slot, 0);
  EXPECT_EQ(got[1].addr, ip(172, 16, 0, 6));
  EXPECT_EQ(got[1].slot, 3);
  EXPECT_EQ(final_result, -1);
}

TEST_F(Enumeration, FinishedEnumerationStaysFinishedUntilReopened) {
  g_list = {v4(ip(172, 16, 0, 1))};
  int h = KQ_ZR_en_init();
  ASSERT_EQ(h, 1);
  zr_enum_rec r;
  ASSERT_EQ(KQ_ZR_en_next(h, &r), 0);
  EXPECT_EQ(KQ_ZR_en_next(h, &r), -1);
  g_list = {v4(ip(172, 16, 0, 1)), v4(ip(172, 16, 0, 9))};  // a new adapter appears
  for (int i = 0; i < 3; ++i) EXPECT_EQ(KQ_ZR_en_next(h, &r), -1);
  EXPECT_EQ(KQ_ZR_en_enum(h, &r), -1);
  EXPECT_EQ(g_reads, 1) << "the list is read once per enumeration";
  ASSERT_EQ(KQ_ZR_en_done(h), 0);

  int final_result = 0;
  EXPECT_EQ(all_candidates(&final_result).size(), 2u) << "a new enumeration rescans";
  EXPECT_EQ(g_reads, 2);
}

TEST_F(Enumeration, HandlesAreCheckedAndOnlyOneEnumerationIsOpen) {
  zr_enum_rec r;
  EXPECT_EQ(KQ_ZR_en_next(1, &r), -223) << "nothing open";
  EXPECT_EQ(KQ_ZR_en_done(1), -223);
  g_list = {v4(ip(172, 16, 0, 1))};
  ASSERT_EQ(KQ_ZR_en_init(), 1);
  EXPECT_EQ(KQ_ZR_en_init(), -221);
  EXPECT_EQ(KQ_ZR_en_next(2, &r), -223);
  EXPECT_EQ(KQ_ZR_en_next(0, &r), -223);
  EXPECT_EQ(KQ_ZR_en_enum(2, &r), -223);
  EXPECT_EQ(KQ_ZR_en_next(1, nullptr), -223);
  EXPECT_EQ(KQ_ZR_en_done(2), -223);
  EXPECT_EQ(KQ_ZR_en_next(1, &r), 0) << "the open enumeration is kept";
  EXPECT_EQ(r.addr, ip(172, 16, 0, 2));
  EXPECT_EQ(KQ_ZR_en_done(1), 0);
  EXPECT_EQ(KQ_ZR_en_done(1), -223);
}

TEST_F(Enumeration, ListsLongerThanTwentyEntriesAreReadWhole) {
  // Containers, VPNs and bridges easily give a host more than 20 interfaces.
  for (unsigned i = 0; i < 120; ++i) g_list.push_back(v4(ip(10, 1, i / 250, i % 250 + 1)));
  g_list[25] = v4(ip(172, 16, 0, 1));
  g_list[119] = v4(ip(172, 16, 7, 5));
  int final_result = 0;
  std::vector<zr_enum_rec> got = all_candidates(&final_result);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].slot, 25);
  EXPECT_EQ(got[1].addr, ip(172, 16, 7, 6));
  EXPECT_EQ(got[1].slot, 119);
  EXPECT_EQ(final_result, -1);
}

TEST_F(Enumeration, ListThatGrowsWhileBeingReadIsReadAgain) {
  for (unsigned i = 0; i < 30; ++i) g_list.push_back(v4(ip(10, 2, 0, i + 1)));
  g_second_list = g_list;
  for (unsigned i = 0; i < 40; ++i) g_second_list.push_back(v4(ip(10, 3, 0, i + 1)));
  g_second_list.push_back(v4(ip(172, 16, 1, 1)));
  int final_result = 0;
  std::vector<zr_enum_rec> got = all_candidates(&final_result);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].slot, 70);
  EXPECT_GE(g_reads, 3);
}

TEST_F(Enumeration, UnreadableListFinishesTheEnumeration) {
  g_list_fails = true;
  int h = KQ_ZR_en_init();
  ASSERT_EQ(h, 1);
  zr_enum_rec r;
  EXPECT_EQ(KQ_ZR_en_next(h, &r), -62);
  g_list_fails = false;
  g_list = {v4(ip(172, 16, 0, 1))};
  EXPECT_EQ(KQ_ZR_en_next(h, &r), -1);
  EXPECT_EQ(KQ_ZR_en_done(h), 0);
}

TEST_F(Enumeration, NoSocketForTheQueryGivesMinus61AndTheSystemError) {
  g_list = {v4(ip(172, 16, 0, 1))};
  int h = KQ_ZR_en_init();
  ASSERT_EQ(h, 1);
#if defined(_WIN32)
  GTEST_SKIP() << "Winsock has no limit on sockets that a test could lower";
#else
  zr_enum_rec r;
  int next = 0, next_errno = 0, ping = 0, ping_errno = 0;
  {
    zrtest::NoDescriptorLeft none;
    ASSERT_TRUE(none.ok());
    next = KQ_ZR_en_next(h, &r);
    next_errno = KQ_ZR_errno();
    ping = KQ_ZR_en_ping(0x7F000001u);
    ping_errno = KQ_ZR_errno();
  }
  EXPECT_EQ(next, -61);
  EXPECT_EQ(next_errno, EMFILE);
  EXPECT_EQ(ping, -220);
  EXPECT_EQ(ping_errno, EMFILE);
  EXPECT_EQ(KQ_ZR_en_next(h, &r), -1) << "the enumeration is finished";
  EXPECT_EQ(g_reads, 0);
#endif
}

TEST_F(Enumeration, WorkAreaThatCannotBeAllocatedGivesMinus220) {
  zri_set_allocator([](size_t) -> void * { return nullptr; });
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(KQ_ZR_en_init(), -220);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("for enum work"), std::string::npos) << err;
  zri_set_allocator(nullptr);
  zr_enum_rec r;
  EXPECT_EQ(KQ_ZR_en_next(1, &r), -223) << "no enumeration open";
  EXPECT_EQ(KQ_ZR_en_init(), 1);
}

TEST(EnumerationSystemList, CandidatesFollowTheHostsOwnInterfaces) {
  // The real list, walked without probing: every candidate is the address after an
  // interface address of the host, at that address's slot.
  ASSERT_EQ(KQ_ZR_1b_init(), 0);
  std::vector<zr_os_ifentry> list(4096);
#if defined(_WIN32)
  zr_os_sock query = zr_os_udp_socket();  // the Winsock query runs on a datagram socket
  ASSERT_NE(query, ZR_OS_NO_SOCK);
  int total = zr_os_if_list(query, list.data(), static_cast<int>(list.size()));
  zr_os_close(query);
#else
  int total = zr_os_if_list(ZR_OS_NO_SOCK, list.data(), static_cast<int>(list.size()));
  // The system's own addresses, in its order; with room for one entry, the first and the
  // count of the whole list.
  ifaddrs *all = nullptr;
  ASSERT_EQ(getifaddrs(&all), 0);
  std::vector<std::pair<int, uint32_t> > own;
  for (ifaddrs *i = all; i != nullptr; i = i->ifa_next)
    if (i->ifa_addr != nullptr && (i->ifa_addr->sa_family == AF_INET || i->ifa_addr->sa_family == AF_INET6))
      own.emplace_back(i->ifa_addr->sa_family == AF_INET ? ZR_OS_AF_INET : i->ifa_addr->sa_family,
                       i->ifa_addr->sa_family == AF_INET
                           ? ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr)
                           : 0);
  freeifaddrs(all);
  ASSERT_EQ(total, static_cast<int>(own.size()));
  for (int i = 0; i < total; ++i)
    EXPECT_EQ(std::make_pair(static_cast<int>(list[i].family), list[i].addr), own[i]) << "entry " << i;
  zr_os_ifentry first[2] = {{7, 7}, {7, 7}};
  EXPECT_EQ(zr_os_if_list(ZR_OS_NO_SOCK, first, 1), total);
  EXPECT_EQ(std::make_pair(static_cast<int>(first[0].family), first[0].addr), own[0]);
  EXPECT_EQ(first[1].family, 7) << "past the room given";
#endif
  ASSERT_GE(total, 1) << "loopback at least";
  ASSERT_LE(total, static_cast<int>(list.size()));
  bool loopback = false;
  for (int i = 0; i < total; ++i) loopback |= list[i].family == ZR_OS_AF_INET && list[i].addr == 0x7F000001u;
  EXPECT_TRUE(loopback);

  int h = KQ_ZR_en_init();
  ASSERT_EQ(h, 1);
  zr_enum_rec r;
  int got;
  while ((got = KQ_ZR_en_next(h, &r)) == 0) {
    ASSERT_LT(r.slot, total);
    EXPECT_EQ(list[r.slot].family, ZR_OS_AF_INET);
    EXPECT_EQ(list[r.slot].addr + 1, r.addr);
  }
  EXPECT_EQ(got, -1);
  EXPECT_EQ(KQ_ZR_en_done(h), 0);
  KQ_ZR_1b_done();
}

// ---- the liveness probe ----------------------------------------------------------------

TEST(Probe, AnsweringHandheldGivesZeroAtOnce) {
  SimProcess sim({"--set", "name=PING"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  zr_os_set_errno(EDOM);
  EXPECT_EQ(KQ_ZR_en_ping(sim.addr()), 0);
  EXPECT_EQ(KQ_ZR_errno(), 0) << "cleared before the datagram socket's calls";
  std::vector<std::string> probes = probes_seen(sim);
  ASSERT_EQ(probes.size(), 1u) << "answered at the first attempt";
  EXPECT_EQ(probes[0], "zr-api4-q") << "nine bytes, no terminator";
}

TEST(Probe, AnswerToTheThirdProbeComesAfterTwoWaits) {
  SimProcess sim({"--probe-from", "3", "--probe-reply", "orv and anything"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  auto start = Clock::now();
  EXPECT_EQ(KQ_ZR_en_ping(sim.addr()), 0);
  long ms = elapsed_ms(start);
  EXPECT_GE(ms, 380);
  EXPECT_LT(ms, 900);
  EXPECT_EQ(probes_seen(sim).size(), 3u);
}

TEST(Probe, SilenceGivesMinusOneAfterFiveWaits) {
  SimProcess sim({"--probe-silent"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  auto start = Clock::now();
  EXPECT_EQ(KQ_ZR_en_ping(sim.addr()), -1);
  long ms = elapsed_ms(start);
  EXPECT_GE(ms, 950);
  EXPECT_LT(ms, 1800);
  EXPECT_EQ(probes_seen(sim).size(), 5u);
}

TEST(Probe, OtherTextGivesMinusTwo) {
  SimProcess sim({"--probe-reply", "hello"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  EXPECT_EQ(KQ_ZR_en_ping(sim.addr()), -2);
  EXPECT_EQ(probes_seen(sim).size(), 5u) << "every attempt is made";

  // "orv" alone is too short to be the handheld's answer.
  SimProcess short_answer({"--probe-reply", "orv"});
  ASSERT_TRUE(short_answer.ok()) << short_answer.error();
  EXPECT_EQ(KQ_ZR_en_ping(short_answer.addr()), -2);

  SimProcess shortest({"--probe-reply", "orv!"});
  ASSERT_TRUE(shortest.ok()) << shortest.error();
  EXPECT_EQ(KQ_ZR_en_ping(shortest.addr()), 0);
}

#ifndef _WIN32
// A probe that cannot be sent is the datagram socket's failure, with the system's reason:
// the loopback broadcast address, which a socket without broadcasts may not reach.
TEST(Probe, AProbeThatCannotBeSentGivesMinus220AndTheSystemError) {
  EXPECT_EQ(KQ_ZR_en_ping(0x7FFFFFFFu), -220);
  EXPECT_EQ(KQ_ZR_errno(), EACCES);
}
#endif

TEST_F(Enumeration, EnumSkipsCandidatesThatDoNotAnswer) {
  SimProcess silent({"--probe-silent"});
  SimProcess first({"--set", "name=FIRST"});
  SimProcess second({"--probe-reply", "orvX"});
  ASSERT_TRUE(silent.ok()) << silent.error();
  ASSERT_TRUE(first.ok()) << first.error();
  ASSERT_TRUE(second.ok()) << second.error();
  g_list = {v4(ip(172, 16, 0, 1)), v4(ip(192, 168, 0, 1)), v4(ip(172, 16, 0, 5)), v4(ip(172, 16, 0, 9))};
  g_probe_map = {{ip(172, 16, 0, 6), first.addr()}, {ip(172, 16, 0, 10), second.addr()}};
  g_probe_default = silent.addr();
  g_probed.clear();
  zri_set_probe_map(map_probe);

  int h = KQ_ZR_en_init();
  ASSERT_EQ(h, 1);
  zr_enum_rec r;
  auto start = Clock::now();
  ASSERT_EQ(KQ_ZR_en_enum(h, &r), 0);
  EXPECT_GE(elapsed_ms(start), 950) << "the silent candidate was probed in full";
  EXPECT_EQ(r.addr, ip(172, 16, 0, 6));
  EXPECT_EQ(r.slot, 2);
  EXPECT_EQ(r.group, 4);
  ASSERT_EQ(KQ_ZR_en_enum(h, &r), 0);
  EXPECT_EQ(r.addr, ip(172, 16, 0, 10));
  EXPECT_EQ(r.slot, 3);
  EXPECT_EQ(KQ_ZR_en_enum(h, &r), -1);
  EXPECT_EQ(r.addr, 0u);
  EXPECT_EQ(KQ_ZR_en_done(h), 0);
  EXPECT_EQ(g_probed, (std::vector<uint32_t>{ip(172, 16, 0, 2), ip(172, 16, 0, 6), ip(172, 16, 0, 10)}));
  EXPECT_EQ(probes_seen(silent).size(), 5u);
  EXPECT_EQ(probes_seen(first).size(), 1u);
}

TEST_F(Enumeration, EnumPassesListFailuresOn) {
  g_list_fails = true;
  zri_set_probe_map(map_probe);
  int h = KQ_ZR_en_init();
  ASSERT_EQ(h, 1);
  zr_enum_rec r;
  EXPECT_EQ(KQ_ZR_en_enum(h, &r), -62);
  EXPECT_EQ(KQ_ZR_en_enum(h, &r), -1);
}

}  // namespace
