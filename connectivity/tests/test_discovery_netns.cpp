// Discovery end to end, in a private network namespace that the test creates: a veth pair
// holds the host side 172.16.0.1/30 and the handheld side 172.16.0.2, where the simulator
// listens.  The enumeration reads the namespace's own interface list, probes for real and
// finds the simulator, which then answers an info request.
//
// Every packet stays inside the namespace: the test thread enters it before the
// interfaces are made and the simulator is started from there; the namespace goes away
// with them.  Where no namespace can be created (not root, no unshare, no iproute2) the
// test says so and is skipped.
#include "private_network.h"
#include "sim_process.h"
#include "zr-internal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using zrtest::PrivateNetwork;

TEST(DiscoveryNamespace, FindsTheSimulatorAndReadsItsInfo) {
  PrivateNetwork net;
  if (!net.ok()) GTEST_SKIP() << "no private network namespace: " << net.why();
  RecordProperty("network", net.how());

  zrtest::SimProcess sim({"--set", "name=NSCALC"}, "172.16.0.2");
  ASSERT_TRUE(sim.ok()) << sim.error();
  ASSERT_EQ(sim.addr(), 0xAC100002u);

  // The slot the host side 172.16.0.1 has in this namespace's interface list.
  std::vector<zr_os_ifentry> list(256);
  int total = zr_os_if_list(ZR_OS_NO_SOCK, list.data(), static_cast<int>(list.size()));
  ASSERT_GT(total, 0);
  int slot = -1;
  for (int i = 0; i < total && i < static_cast<int>(list.size()); ++i)
    if (list[i].family == ZR_OS_AF_INET && list[i].addr == 0xAC100001u) slot = i;
  ASSERT_GE(slot, 0) << "172.16.0.1 is not in the interface list";

  ASSERT_EQ(KQ_ZR_1b_init(), 0);
  zr_tune tune{3000, 3000};
  KQ_ZR_sl_tune(2, &tune);
  zri_set_if_list(nullptr);
  zri_set_probe_map(nullptr);

  int h = KQ_ZR_en_init();
  ASSERT_EQ(h, 1);
  std::vector<zr_enum_rec> found;
  zr_enum_rec r;
  int got;
  auto start = Clock::now();
  while ((got = KQ_ZR_en_enum(h, &r)) == 0) found.push_back(r);
  long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  EXPECT_EQ(got, -1);
  EXPECT_EQ(KQ_ZR_en_done(h), 0);
  ASSERT_EQ(found.size(), 1u) << "only the simulator answers";
  EXPECT_EQ(found[0].addr, 0xAC100002u);
  EXPECT_EQ(found[0].group, 4);
  EXPECT_EQ(found[0].slot, slot);
  EXPECT_EQ(found[0].name, nullptr);
  EXPECT_GE(ms, 950) << "the silent 172.16.0.6 was probed in full and skipped";
  EXPECT_LT(ms, 5000);

  zr_info info;
  ASSERT_EQ(KQ_ZR_sr_info(found[0].addr, 1, &info), 0);
  EXPECT_STREQ(info.name, "NSCALC");
  EXPECT_EQ(info.addr, 0xAC100002u);

  std::vector<std::string> requests = sim.requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.front(), "zr-api4-q");
  EXPECT_EQ(requests.back(), "info 1\n");

  KQ_ZR_1b_done();
  zr_tune none{0, 0};
  KQ_ZR_sl_tune(2, &none);
}

}  // namespace
