// zr-dhcp.exe as it runs for a user: in private network namespaces, handhelds plugged in
// as veth pairs, answered by the real program and asked by Debian's DHCP clients (busybox
// udhcpc, dhclient) or by hand-made messages.  Skipped, with the reason, where namespaces
// or veth pairs cannot be made.
#include "dhcp-config.h"
#include "dhcp-packet.h"
#include "dhcp-text.h"
#include "dhcp_messages.h"
#include "netns_lab.h"
#include "sim_process.h"
#include "zr-internal.h"
#include "zr-net.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace {

using namespace zrdhcptest;
using Clock = std::chrono::steady_clock;

#define NEED_NETWORK(pc) \
  if (!(pc).ok()) GTEST_SKIP() << "no private network: " << (pc).why()

const char kUdhcpcScript[] = R"(#!/bin/sh
echo "$1 ip=$ip mask=$mask subnet=$subnet lease=$lease serverid=$serverid" >> "$(dirname "$0")/events"
case "$1" in
  bound|renew) ip addr replace "$ip/$mask" dev "$interface" ;;
  deconfig) ip -4 addr flush dev "$interface" ;;
esac
exit 0
)";

const char kDhclientScript[] = R"(#!/bin/sh
echo "$reason ip=$new_ip_address mask=$new_subnet_mask lease=$new_dhcp_lease_time server=$new_dhcp_server_identifier" >> "$(dirname "$0")/events"
case "$reason" in
  PREINIT) ip link set "$interface" up ;;
  BOUND|RENEW|REBIND|REBOOT) ip addr replace "$new_ip_address/30" dev "$interface" ;;
  RELEASE|EXPIRE|STOP) ip -4 addr flush dev "$interface" ;;
esac
exit 0
)";

// The client's event log (one line a script call) in its own folder.
struct ClientFiles {
  TempDir dir;
  ClientFiles(const char *script) { zrtest::WriteFile(dir.file("script"), script, 0755); }
  std::string events() const { return read_file(dir.file("events")); }
  bool wait_event(const std::string &text, int timeout_ms = 8000) const {
    return eventually([&] { return events().find(text) != std::string::npos; }, timeout_ms);
  }
};

std::string zrlink(const std::vector<std::string> &args, int *status, const std::vector<std::string> &env = {}) {
  std::vector<std::string> all{ZRLINK_PATH};
  all.insert(all.end(), args.begin(), args.end());
  Ran r = run(all, 20000, env);
  *status = r.status;
  return r.out;
}

// ---- from plugged in to listed -------------------------------------------------------------

TEST(DhcpService, AHandheldPluggedInIsServedAndListed) {
  Computer pc;
  NEED_NETWORK(pc);
  Handheld hh;
  ASSERT_TRUE(hh.ok());
  Service svc("interface = zrh0\nlease = 300\n");
  // With nothing but the two capabilities its system service grants it.
  ASSERT_TRUE(svc.start({"setpriv", "--bounding-set=-all,+net_admin,+net_bind_service", "--inh-caps=-all", "--"}))
      << svc.log();
  auto plugged = Clock::now();
  ASSERT_TRUE(pc.plug("zrh0", "02:00:00:00:00:0a", &hh, "zrc0"));
  ASSERT_TRUE(svc.wait_log("address 172.16.0.1/30 set on zrh0", 1000)) << "not served within a second:\n" << svc.log();
  EXPECT_LT(Clock::now() - plugged, std::chrono::seconds(1));
  EXPECT_NE(pc.addresses("zrh0").find("172.16.0.1/30 brd 172.16.0.3"), std::string::npos) << pc.addresses("zrh0");
  EXPECT_NE(run({"ip", "-o", "link", "show", "zrh0"}).out.find(",UP"), std::string::npos);
  // The handheld's side never configures the computer's IPv6.
  EXPECT_EQ(read_file("/proc/sys/net/ipv6/conf/zrh0/accept_ra"), "0\n");
  EXPECT_EQ(read_file("/proc/sys/net/ipv6/conf/zrh0/autoconf"), "0\n");

  ClientFiles client(kUdhcpcScript);
  Ran r = hh.run(
      {"busybox", "udhcpc", "-i", "zrc0", "-f", "-q", "-n", "-t", "4", "-T", "1", "-s", client.dir.file("script")},
      15000);
  ASSERT_EQ(r.status, 0) << r.out << svc.log();
  EXPECT_NE(client.events().find("bound ip=172.16.0.2 mask=30 subnet=255.255.255.252 lease=300 serverid=172.16.0.1"),
            std::string::npos)
      << client.events();
  EXPECT_TRUE(svc.wait_log("zrh0: lease 172.16.0.2 to ", 1000)) << svc.log();

  // The handheld answers on its new address, and discovery finds it.
  zrtest::SimProcess *sim = nullptr;
  ASSERT_TRUE(hh.inside([&] { sim = new zrtest::SimProcess({"--set", "name=PLUGGED"}, "172.16.0.2"); }));
  std::unique_ptr<zrtest::SimProcess> keep(sim);
  ASSERT_TRUE(sim->ok()) << sim->error();
  int status = -1;
  std::string out = zrlink({"list"}, &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("172.16.0.2"), std::string::npos) << out;
  EXPECT_NE(out.find("answering"), std::string::npos) << out;
  out = zrlink({"info"}, &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("PLUGGED"), std::string::npos) << out;

  // SIGTERM: the address goes, the program ends with 0.
  EXPECT_EQ(svc.stop(), 0) << svc.log();
  EXPECT_EQ(pc.addresses("zrh0").find("172.16.0.1"), std::string::npos) << pc.addresses("zrh0");
  EXPECT_NE(svc.log().find("address 172.16.0.1/30 removed from zrh0"), std::string::npos) << svc.log();
}

// ---- the clients' other requests ----------------------------------------------------------

// A handheld plugged in on zrh0 (zrc0 on its side), the service serving it with a lease of
// 300 s.
class Plugged : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pc.ok()) GTEST_SKIP() << "no private network: " << pc.why();
    ASSERT_TRUE(hh.ok());
    ASSERT_TRUE(svc.start()) << svc.log();
    ASSERT_TRUE(pc.plug("zrh0", "", &hh, "zrc0"));
    ASSERT_TRUE(svc.wait_log("set on zrh0", 1000)) << svc.log();
  }
  Computer pc;
  Handheld hh;
  Service svc{"interface = zrh0\ninterface = zrh1\nlease = 300\n"};
};

TEST_F(Plugged, UdhcpcRenewsAndReleases) {
  ClientFiles client(kUdhcpcScript);
  pid_t pid = hh.start({"busybox", "udhcpc", "-i", "zrc0", "-f", "-t", "4", "-T", "1", "-s", client.dir.file("script")},
                       client.dir.file("out"));
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(client.wait_event("bound ip=172.16.0.2")) << client.events() << svc.log();

  // A renewal is a unicast REQUEST from 172.16.0.2, answered with an ACK to that address.
  size_t mark = svc.log_size();
  kill(pid, SIGUSR1);
  EXPECT_TRUE(client.wait_event("renew ip=172.16.0.2 mask=30 subnet=255.255.255.252 lease=300"))
      << client.events() << read_file(client.dir.file("out")) << svc.log();
  EXPECT_TRUE(svc.wait_log("lease 172.16.0.2", 2000, mark));

  mark = svc.log_size();
  kill(pid, SIGUSR2);
  EXPECT_TRUE(svc.wait_log("zrh0: released 172.16.0.2", 3000, mark)) << svc.log();
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  // A handful of messages is no flood: nothing is said to be left out, at the stop either.
  EXPECT_EQ(svc.stop(), 0);
  EXPECT_EQ(svc.log().find("left out"), std::string::npos) << svc.log();
}

TEST_F(Plugged, DhclientGetsTheLeaseRebootsIntoItAndReleasesIt) {
  ClientFiles client(kDhclientScript);
  auto dhclient = [&](const char *what) {
    return hh.run({"dhclient", "-4", "-sf", client.dir.file("script"), "-lf", client.dir.file("leases"), "-pf",
                   client.dir.file("pid"), what, "zrc0"},
                  20000);
  };
  Ran r = dhclient("-1");
  ASSERT_EQ(r.status, 0) << r.out << svc.log();
  EXPECT_NE(client.events().find("BOUND ip=172.16.0.2 mask=255.255.255.252 lease=300 server=172.16.0.1"),
            std::string::npos)
      << client.events();

  // Stopped without a release and started again, dhclient asks for its address at once
  // (INIT-REBOOT, no DISCOVER).
  dhclient("-x");
  size_t mark = svc.log_size();
  r = dhclient("-1");
  ASSERT_EQ(r.status, 0) << r.out << svc.log();
  EXPECT_NE(client.events().find("REBOOT ip=172.16.0.2"), std::string::npos) << client.events();
  EXPECT_TRUE(svc.wait_log("lease 172.16.0.2", 1000, mark)) << svc.log();
  EXPECT_EQ(svc.log().find("offer", mark), std::string::npos) << svc.log();

  mark = svc.log_size();
  r = dhclient("-r");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(svc.wait_log("released 172.16.0.2", 3000, mark)) << svc.log();
}

// ---- hand-made requests --------------------------------------------------------------------

class DhcpServiceMessages : public Plugged {
 protected:
  void SetUp() override {
    Plugged::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(pc.plug("zrother0", "", &hh, "zrc1"));
    sock.reset(new ClientSocket(hh, "zrc0"));
    ASSERT_TRUE(sock->ok());
  }
  // The reply to a message, or an empty view after wait_ms.
  ReplyView ask(const Message &m, int wait_ms = 1000) { return ask_bytes(m.bytes(), wait_ms); }
  ReplyView ask_bytes(const std::vector<uint8_t> &b, int wait_ms = 1000) {
    EXPECT_TRUE(sock->send(b));
    return ReplyView(sock->receive(wait_ms));
  }
  std::unique_ptr<ClientSocket> sock;
};

TEST_F(DhcpServiceMessages, NakForAForeignAddressDeclineWithholdsAndOtherInterfacesAreIgnored) {
  ReplyView offer = ask(Message(zrdhcp::kDiscover));
  ASSERT_EQ(offer.type(), zrdhcp::kOffer) << svc.log();
  EXPECT_EQ(offer.yiaddr(), 0xAC100002u);
  EXPECT_EQ(offer.option32(54), 0xAC100001u);
  EXPECT_EQ(offer.option32(51), 300u);
  EXPECT_EQ(offer.option32(1), 0xFFFFFFFCu);

  ReplyView nak = ask(Message(zrdhcp::kRequest).option32(50, 0xAC100506u));
  EXPECT_EQ(nak.type(), zrdhcp::kNak);
  EXPECT_EQ(nak.yiaddr(), 0u);
  EXPECT_TRUE(svc.wait_log("NAK to 02:00:00:00:00:01: it asked for 172.16.5.6", 1000)) << svc.log();

  EXPECT_FALSE(ask(Message(zrdhcp::kDecline).option32(54, 0xAC100001u).option32(50, 0xAC100002u), 300).valid());
  EXPECT_TRUE(svc.wait_log("declined by 02:00:00:00:00:01", 1000)) << svc.log();
  EXPECT_FALSE(ask(Message(zrdhcp::kDiscover), 300).valid()) << "the declined address is withheld";

  // The other veth pair is no handheld adapter: nothing answers there, nothing is logged.
  size_t mark = svc.log_size();
  ClientSocket other(hh, "zrc1");
  ASSERT_TRUE(other.ok());
  ASSERT_TRUE(other.send(Message(zrdhcp::kDiscover).hw_last(9).bytes()));
  EXPECT_TRUE(other.receive(300).empty());
  EXPECT_EQ(svc.log().find("02:00:00:00:00:09", mark), std::string::npos) << svc.log();
  EXPECT_EQ(pc.addresses("zrother0"), "");
}

TEST_F(DhcpServiceMessages, HostileMessagesGetNoReplyButALogLine) {
  std::vector<uint8_t> oversized = Message(zrdhcp::kDiscover).bytes();
  oversized.resize(5000, 0);
  const std::pair<std::vector<uint8_t>, const char *> hostile[] = {
      {std::vector<uint8_t>(100, 1), "truncated message (100 bytes)"},
      {oversized, "over 4096 bytes"},
      {Message(zrdhcp::kDiscover).raw({12, 250, 'x'}).bytes(false), "option 12 runs past the end"},
      {Message(zrdhcp::kDiscover).option(52, {1}).in_file(15, {}, 200).bytes(), "file field"},
      {Message(zrdhcp::kDiscover).cookie(0x01020304).bytes(), "bad magic cookie"},
      {Message(0).raw({53, 0}).bytes(), "option 53 has length 0"},
      {Message(zrdhcp::kDiscover).option(12, {}).bytes(), "option 12 has length 0"},
      {Message(zrdhcp::kDiscover).op(2).bytes(), "a BOOTREPLY"},
      {Message(0).bytes(), "no DHCP message type"},
  };
  for (const auto &h : hostile) {
    size_t mark = svc.log_size();
    EXPECT_FALSE(ask_bytes(h.first, 250).valid()) << h.second;
    EXPECT_TRUE(svc.wait_log(std::string("zrh0: message") + "", 1000, mark)) << h.second;
    EXPECT_NE(svc.log().find(h.second, mark), std::string::npos) << h.second << "\n" << svc.log();
  }
  EXPECT_TRUE(svc.running());
  EXPECT_EQ(ask(Message(zrdhcp::kDiscover)).type(), zrdhcp::kOffer) << "still serving:\n" << svc.log();
}

TEST_F(Plugged, AFloodOfMessagesHoldsNeitherOtherAdaptersNorSignalsAndCostsFewLogLines) {
  ClientSocket sock(hh, "zrc0");
  ASSERT_TRUE(sock.ok());
  auto offers_after = [&](size_t mark) {
    size_t n = 0;
    const std::string log = svc.log();
    for (size_t at = log.find("zrh0: offer", mark); at != std::string::npos; at = log.find("zrh0: offer", at + 1)) ++n;
    return n;
  };
  const std::vector<uint8_t> discover = Message(zrdhcp::kDiscover).bytes();
  {
    // Each window of 10 s has the whole budget of lines, also after one that did not use it up.
    const auto began = Clock::now();
    size_t mark = svc.log_size();
    for (int i = 0; i < 15; ++i) sock.send(discover);
    EXPECT_TRUE(eventually([&] { return offers_after(mark) == 15; }, 2000)) << svc.log().substr(mark);
    std::this_thread::sleep_until(began + std::chrono::milliseconds(10200));
    mark = svc.log_size();
    for (int i = 0; i < 15; ++i) sock.send(discover);
    EXPECT_TRUE(eventually([&] { return offers_after(mark) == 15; }, 2000)) << svc.log().substr(mark);
    EXPECT_EQ(svc.log().find("left out", mark), std::string::npos) << svc.log().substr(mark);
  }
  const size_t before_flood = svc.log_size();
  std::atomic<bool> flooding{true};
  long sent = 0;
  std::thread flood([&] {
    for (auto end = Clock::now() + std::chrono::seconds(3); flooding && Clock::now() < end; ++sent) sock.send(discover);
  });
  usleep(300000);
  size_t mark = svc.log_size();
  EXPECT_TRUE(pc.plug("zrh1", "", &hh, "zrc1"));
  EXPECT_TRUE(svc.wait_log("set on zrh1", 1000, mark)) << "not served during the flood:\n" << svc.log();
  auto asked = Clock::now();
  EXPECT_EQ(svc.stop(), 0);
  EXPECT_LT(Clock::now() - asked, std::chrono::seconds(1)) << "SIGTERM took effect late";
  flooding = false;
  flood.join();
  const std::string log = svc.log();
  EXPECT_LE(offers_after(before_flood), 20u) << sent << " messages sent";
  EXPECT_NE(log.find("zrh0: ", log.rfind("zrh0: offer")), std::string::npos);
  EXPECT_NE(log.find("more lines on answers left out (at most 20 in 10 s)", before_flood), std::string::npos)
      << log.substr(log.size() - 2000);
  EXPECT_EQ(pc.addresses("zrh0"), "");
}

// ---- which adapters, which subnets -------------------------------------------------------

TEST(DhcpService, UsbAdaptersAreChosenByTheirIds) {
  Computer pc;
  NEED_NETWORK(pc);
  TempDir sys;
  fake_usb_adapter(sys, "zrusb0", "4407:7705", "CALC 0001", 100);
  fake_usb_adapter(sys, "zrusb1", "1234:5678", "OTHER", 101);
  fake_usb_adapter(sys, "zrusb2", "1d6b:0104", "", 102);
  Service svc("usb = 4407:7705\nusb = 1d6b:0104\n", sys.path());
  ASSERT_TRUE(pc.plug("zrusb0", "", nullptr, "zrc0", 100));
  ASSERT_TRUE(svc.start()) << svc.log();
  ASSERT_TRUE(svc.wait_log("address 172.16.0.1/30 set on zrusb0", 1000)) << svc.log();
  EXPECT_NE(svc.log().find("adapter zrusb0 found (USB 4407:7705, serial CALC%200001)"), std::string::npos) << svc.log();
  ASSERT_TRUE(pc.plug("zrusb1", "", nullptr, "zrc1", 101));
  ASSERT_TRUE(pc.plug("zrusb2", "02:00:00:00:00:2c", nullptr, "zrc2", 102));
  ASSERT_TRUE(svc.wait_log("address 172.16.0.5/30 set on zrusb2", 1000)) << svc.log();
  EXPECT_EQ(svc.log().find("zrusb1"), std::string::npos) << svc.log();
  EXPECT_EQ(pc.addresses("zrusb1"), "");
  EXPECT_EQ(pc.addresses("zrc0"), "") << "the other end of a pair is no USB adapter";
  EXPECT_NE(svc.data().find("serial:4407:7705:CALC%200001 172.16.0.0/30"), std::string::npos) << svc.data();
  EXPECT_NE(svc.data().find("mac:02:00:00:00:00:2c 172.16.0.4/30"), std::string::npos) << svc.data();
}

// The table of adapters in the runtime folder: written when an adapter is served, replaced
// (a new file renamed over the old, readable by all) when the handheld takes its lease,
// gives it back or lets it run out, showing the adapter gone when it goes; read by zrlink.
TEST(DhcpService, TheTableOfAdaptersIsReplacedOnEveryChangeAndReadByZrlink) {
  Computer pc;
  NEED_NETWORK(pc);
  Handheld hh;
  ASSERT_TRUE(hh.ok());
  TempDir sys;
  fake_usb_adapter(sys, "zrusb0", "4407:7705", "CALC 0001", 100);
  Service svc("usb = 4407:7705\nlease = 2\n", sys.path());
  ASSERT_TRUE(svc.start()) << svc.log();
  ASSERT_TRUE(pc.plug("zrusb0", "", &hh, "zrc0", 100));
  ASSERT_TRUE(svc.wait_log("address 172.16.0.1/30 set on zrusb0", 1000)) << svc.log();
  const std::string row =
      "adapter index=100 interface=zrusb0 usb-port=1-zrusb0 serial=CALC%200001 host=172.16.0.1 "
      "handheld=172.16.0.2 state=";
  const std::string header = "zr-dhcp-table 1 pid=" + std::to_string(svc.pid()) + "\n";
  ASSERT_TRUE(eventually([&] { return svc.table() == header + row + "addressed\n"; }, 1000)) << svc.table();
  EXPECT_EQ(read_file(svc.dir().file("zr-dhcp.pid")), std::to_string(svc.pid()) + "\n");
  struct stat before {};
  ASSERT_EQ(stat(svc.dir().file("adapters").c_str(), &before), 0);
  EXPECT_EQ(before.st_mode & 0777, 0644u);
  int old_table = open(svc.dir().file("adapters").c_str(), O_RDONLY);

  ClientSocket sock(hh, "zrc0");
  ASSERT_TRUE(sock.ok());
  ASSERT_TRUE(sock.send(Message(zrdhcp::kRequest).option32(54, 0xAC100001u).option32(50, 0xAC100002u).bytes()));
  ASSERT_EQ(ReplyView(sock.receive(1000)).type(), zrdhcp::kAck) << svc.log();
  ASSERT_TRUE(eventually([&] { return svc.table() == header + row + "leased\n"; }, 1000)) << svc.table();
  struct stat after {};
  ASSERT_EQ(stat(svc.dir().file("adapters").c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino) << "rewritten in place, not replaced";
  char was[512] = {};
  EXPECT_EQ(pread(old_table, was, sizeof was - 1, 0), static_cast<ssize_t>(header.size() + row.size() + 10));
  EXPECT_EQ(std::string(was), header + row + "addressed\n") << "a reader of the former table sees it whole";
  close(old_table);

  // zrlink reads it: the handheld's row shows its interface and USB port.
  ASSERT_EQ(hh.run({"ip", "addr", "add", "172.16.0.2/30", "dev", "zrc0"}).status, 0);
  zrtest::SimProcess *sim = nullptr;
  ASSERT_TRUE(hh.inside([&] { sim = new zrtest::SimProcess({"--set", "eid=CALC 0001"}, "172.16.0.2"); }));
  std::unique_ptr<zrtest::SimProcess> keep(sim);
  ASSERT_TRUE(sim->ok()) << sim->error();
  int status = -1;
  std::string out = zrlink({"list", "--json"}, &status, {"ZR_DHCP_RUN_DIR=" + svc.dir().path()});
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("\"serial\": \"CALC 0001\", \"interface\": \"zrusb0\", \"usbPort\": \"1-zrusb0\""),
            std::string::npos)
      << out;

  ASSERT_TRUE(sock.send(Message(zrdhcp::kRelease).option32(54, 0xAC100001u).ciaddr(0xAC100002u).bytes()));
  EXPECT_TRUE(eventually([&] { return svc.table() == header + row + "addressed\n"; }, 1000)) << svc.table();
  // A lease of 2 s that is not renewed runs out.
  ASSERT_TRUE(sock.send(Message(zrdhcp::kRequest).ciaddr(0xAC100002u).bytes()));
  ASSERT_EQ(ReplyView(sock.receive(1000)).type(), zrdhcp::kAck) << svc.log();
  EXPECT_TRUE(eventually([&] { return svc.table() == header + row + "leased\n"; }, 1000)) << svc.table();
  EXPECT_TRUE(eventually([&] { return svc.table() == header + row + "addressed\n"; }, 3500)) << svc.table();
  ASSERT_TRUE(pc.unplug("zrusb0"));
  EXPECT_TRUE(eventually([&] { return svc.table() == header + row + "gone\n"; }, 1000)) << svc.table();
  EXPECT_EQ(run({"sh", "-c", "ls " + svc.dir().path() + " | grep -c new"}).out, "0\n") << "a temporary file left";
  // Plugged in again: its row takes the place of the gone one.
  ASSERT_TRUE(pc.plug("zrusb0", "", &hh, "zrc0", 100));
  EXPECT_TRUE(eventually([&] { return svc.table() == header + row + "addressed\n"; }, 1000)) << svc.table();

  // Its table goes with the service.
  EXPECT_EQ(svc.stop(), 0) << svc.log();
  EXPECT_EQ(access(svc.dir().file("adapters").c_str(), F_OK), -1);
}

// The subnet of a handheld the store knows: the one remembered under an earlier version's
// spelling of its key (then kept under the exact key), the exact key's over the former's
// (the first /30 as any other), and over both the one the adapter already holds.
TEST(DhcpService, AKnownHandheldGetsItsSubnetWhateverTheStoresSpelling) {
  struct Case {
    const char *store, *held, *set, *kept;
  };
  const Case cases[] = {
      {"serial:4407:7705:CALC_0001 172.16.0.20/30\n", "", "172.16.0.21/30", "172.16.0.20/30"},
      {"serial:4407:7705:CALC%200001 172.16.0.0/30\nserial:4407:7705:CALC_0001 172.16.0.20/30\n", "",
       "172.16.0.1/30", "172.16.0.0/30"},
      {"serial:4407:7705:CALC%200001 172.16.0.20/30\n", "172.16.0.1/30", "", "172.16.0.0/30"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.store);
    Computer pc;
    NEED_NETWORK(pc);
    TempDir sys;
    fake_usb_adapter(sys, "zrusb0", "4407:7705", "CALC 0001", 100);
    Service svc("usb = 4407:7705\n", sys.path());
    zrtest::WriteFile(svc.dir().file("zr-dhcp.dat"), c.store, 0644);
    if (*c.held) {
      ASSERT_TRUE(pc.plug("zrusb0", "", nullptr, "zrc0", 100));
      ASSERT_EQ(run({"ip", "addr", "add", c.held, "dev", "zrusb0"}).status, 0);
    }
    ASSERT_TRUE(svc.start()) << svc.log();
    if (!*c.held) ASSERT_TRUE(pc.plug("zrusb0", "", nullptr, "zrc0", 100));
    if (*c.set) EXPECT_TRUE(svc.wait_log(std::string("address ") + c.set + " set on zrusb0", 1000)) << svc.log();
    const std::string kept = std::string("serial:4407:7705:CALC%200001 ") + c.kept + "\n";
    EXPECT_TRUE(eventually([&] { return svc.data().find(kept) != std::string::npos; }, 1000)) << svc.data();
    if (!std::strstr(c.store, "%20"))  // the former spelling alone: taken over, not kept beside
      EXPECT_EQ(svc.data().find("CALC_0001"), std::string::npos) << svc.data();
    EXPECT_EQ(svc.log().find("cannot"), std::string::npos) << "nothing failed: " << svc.log();
  }
}

TEST(DhcpService, SubnetsAreRememberedAcrossPlugsAndRestarts) {
  Computer pc;
  NEED_NETWORK(pc);
  Service svc("interface = zra\ninterface = zrb\ninterface = zrc\ninterface = zrd\n");
  // An interface that is not a handheld's already holds an address in subnet 3.
  ASSERT_TRUE(pc.plug("zrlan", "", nullptr, "zrlan1"));
  ASSERT_EQ(run({"ip", "addr", "add", "172.16.0.13/30", "dev", "zrlan"}).status, 0);
  zrtest::WriteFile(svc.dir().file("zr-dhcp.dat"), "", 0644);  // as the library creates it
  ASSERT_TRUE(svc.start()) << svc.log();
  auto plug = [&](const char *name, const char *mac, const char *expect) {
    size_t mark = svc.log_size();
    EXPECT_TRUE(pc.plug(name, mac, nullptr, std::string(name) + "p"));
    EXPECT_TRUE(svc.wait_log(std::string("address ") + expect + "/30 set on " + name, 1000, mark)) << name << "\n"
                                                                                                   << svc.log();
  };
  plug("zra", "02:00:00:00:00:0a", "172.16.0.1");
  plug("zrb", "02:00:00:00:00:0b", "172.16.0.5");
  size_t mark = svc.log_size();
  pc.unplug("zra");
  pc.unplug("zrb");
  EXPECT_TRUE(svc.wait_log("adapter zrb gone", 1000, mark)) << svc.log();
  plug("zrb", "02:00:00:00:00:0b", "172.16.0.5");  // its own, though .0 is free
  plug("zrc", "02:00:00:00:00:0c", "172.16.0.9");  // not .0 (remembered), not .12 (in use)
  plug("zrd", "02:00:00:00:00:0d", "172.16.0.17");
  plug("zra", "02:00:00:00:00:0a", "172.16.0.1");

  EXPECT_EQ(svc.stop(), 0);
  for (const char *name : {"zra", "zrb", "zrc", "zrd"}) EXPECT_EQ(pc.addresses(name), "") << name;
  EXPECT_NE(pc.addresses("zrlan").find("172.16.0.13"), std::string::npos) << "not the service's to remove";
  mark = svc.log_size();
  ASSERT_TRUE(svc.start()) << svc.log();
  EXPECT_TRUE(svc.wait_log("address 172.16.0.9/30 set on zrc", 1000, mark)) << svc.log();
  EXPECT_TRUE(svc.wait_log("address 172.16.0.1/30 set on zra", 1000, mark)) << svc.log();
  EXPECT_TRUE(svc.wait_log("address 172.16.0.5/30 set on zrb", 1000, mark)) << svc.log();
  EXPECT_TRUE(svc.wait_log("address 172.16.0.17/30 set on zrd", 1000, mark)) << svc.log();
}

TEST(DhcpService, ASubnetOverlappingAnyAddressOrForeignRouteIsNeverTaken) {
  Computer pc;
  NEED_NETWORK(pc);
  Service svc("interface = zra\ninterface = zrb\n");
  // Another interface's route covers subnets 0 and 1, and its point-to-point address (its
  // own side, not the peer's) is in subnet 3; the adapter itself already holds an address
  // of subnet 2.
  ASSERT_TRUE(pc.plug("zrlan", "", nullptr, "zrlan1"));
  ASSERT_EQ(run({"ip", "link", "set", "zrlan", "up"}).status, 0);
  ASSERT_EQ(run({"ip", "addr", "add", "10.9.0.1/24", "dev", "zrlan"}).status, 0);
  ASSERT_EQ(run({"ip", "addr", "add", "172.16.0.13", "peer", "10.9.1.2/32", "dev", "zrlan"}).status, 0);
  ASSERT_EQ(run({"ip", "route", "add", "172.16.0.0/29", "dev", "zrlan"}).status, 0);
  ASSERT_TRUE(pc.plug("zra", "", nullptr, "zrap"));
  ASSERT_EQ(run({"ip", "addr", "add", "172.16.0.10/30", "dev", "zra"}).status, 0);
  ASSERT_TRUE(svc.start()) << svc.log();
  ASSERT_TRUE(svc.wait_log("set on zra", 1000)) << svc.log();
  EXPECT_NE(svc.log().find("address 172.16.0.17/30 set on zra"), std::string::npos) << svc.log();

  // A LAN of 172.16.0.0/16 leaves nothing: said once, nothing set, however often the link
  // changes.
  ASSERT_EQ(run({"ip", "addr", "add", "172.16.3.77/16", "dev", "zrlan"}).status, 0);
  ASSERT_TRUE(pc.plug("zrb", "", nullptr, "zrbp"));
  ASSERT_TRUE(svc.wait_log("zrb is not served: no free subnet", 1000)) << svc.log();
  EXPECT_TRUE(eventually([&] { return svc.table().find(" interface=zrb state=waiting\n") != std::string::npos; }, 1000))
      << svc.table();
  run({"ip", "link", "set", "zrb", "up"});
  run({"ip", "link", "set", "zrb", "down"});
  usleep(200000);
  const std::string log = svc.log();
  EXPECT_EQ(log.find("no free subnet", log.find("no free subnet") + 1), std::string::npos) << log;
  EXPECT_EQ(pc.addresses("zrb"), "");
  EXPECT_TRUE(svc.running());

  // Once the LAN has gone, zrb is served without waiting for another event of its own.
  ASSERT_EQ(run({"ip", "addr", "del", "172.16.3.77/16", "dev", "zrlan"}).status, 0);
  EXPECT_TRUE(svc.wait_log("address 172.16.0.21/30 set on zrb", 1000)) << svc.log();
  EXPECT_TRUE(eventually(
      [&] {
        return svc.table().find(" interface=zrb host=172.16.0.21 handheld=172.16.0.22 state=addressed\n") !=
               std::string::npos;
      },
      1000))
      << svc.table();
}

TEST(DhcpService, ASocketThatCouldNotBeOpenedIsOpenedOnTheNextChange) {
  Computer pc;
  NEED_NETWORK(pc);
  Handheld hh;
  ASSERT_TRUE(hh.ok());
  // Another program holds UDP port 67 when the adapter comes.
  int blocker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(67);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  Service svc("interface = zrh0\n");
  ASSERT_TRUE(svc.start()) << svc.log();
  ASSERT_TRUE(pc.plug("zrh0", "", &hh, "zrc0"));
  ASSERT_TRUE(svc.wait_log("cannot receive DHCP requests on zrh0", 1000)) << svc.log();
  close(blocker);
  ASSERT_EQ(run({"ip", "addr", "add", "10.9.9.9/32", "dev", "lo"}).status, 0);
  EXPECT_TRUE(svc.wait_log("receiving DHCP requests on zrh0 now", 1000)) << svc.log();
  ClientSocket sock(hh, "zrc0");
  ASSERT_TRUE(sock.ok());
  ASSERT_TRUE(sock.send(Message(zrdhcp::kDiscover).bytes()));
  EXPECT_EQ(ReplyView(sock.receive(1000)).type(), zrdhcp::kOffer) << svc.log();
}

TEST(DhcpService, OneInstanceAStateFolderAndOnlyItsOwnAddressesAreRemoved) {
  Computer pc;
  NEED_NETWORK(pc);
  Service svc("interface = zrh0\ninterface = zrh1\n");
  // The administrator had set the computer's side of subnet 1 on zrh1, and brought it up:
  // the system's route of that subnet on zrh1 is no other network's claim on it.
  ASSERT_TRUE(pc.plug("zrh1", "", nullptr, "zrc1"));
  ASSERT_EQ(run({"ip", "addr", "add", "172.16.0.5/30", "dev", "zrh1"}).status, 0);
  ASSERT_EQ(run({"ip", "link", "set", "zrh1", "up"}).status, 0);
  ASSERT_TRUE(svc.start()) << svc.log();
  ASSERT_TRUE(pc.plug("zrh0", "", nullptr, "zrc0"));
  ASSERT_TRUE(svc.wait_log("address 172.16.0.1/30 set on zrh0", 1000)) << svc.log();
  EXPECT_NE(svc.log().find("address 172.16.0.5/30 was on zrh1 already"), std::string::npos) << svc.log();

  // A second one on the same state folder (as when run by hand beside the unit) names the
  // first and ends without touching anything.
  Ran second = run({ZR_DHCP_PATH, "--config", svc.dir().file("zr-dhcp.cfg"), "--data", svc.dir().file("zr-dhcp.dat"),
                    "--sysfs", svc.dir().file("no-sysfs")},
                   3000);
  EXPECT_EQ(second.status, 4) << second.out;
  EXPECT_NE(second.out.find("already running as process "), std::string::npos) << second.out;
  EXPECT_NE(second.out.find(svc.dir().file("zr-dhcp.lock")), std::string::npos) << second.out;
  EXPECT_TRUE(svc.running());
  EXPECT_NE(pc.addresses("zrh0").find("172.16.0.1/30"), std::string::npos);

  EXPECT_EQ(svc.stop(), 0) << svc.log();
  EXPECT_EQ(pc.addresses("zrh0"), "");
  EXPECT_NE(pc.addresses("zrh1").find("172.16.0.5/30"), std::string::npos) << "not the service's to remove";
}

TEST(DhcpService, AHangupOrAGoneLogReaderEndsItOnlyCleanly) {
  Computer pc;
  NEED_NETWORK(pc);
  Service svc("interface = zrh0\n");
  ASSERT_TRUE(svc.start()) << svc.log();
  ASSERT_TRUE(pc.plug("zrh0", "", nullptr, "zrc0"));
  ASSERT_TRUE(svc.wait_log("set on zrh0", 1000)) << svc.log();
  kill(svc.pid(), SIGHUP);
  EXPECT_TRUE(svc.wait_log("address 172.16.0.1/30 removed from zrh0", 2000)) << "SIGHUP ends it:\n" << svc.log();
  EXPECT_EQ(svc.stop(), 0) << svc.log();
  EXPECT_EQ(pc.addresses("zrh0"), "") << "SIGHUP ends it as SIGTERM does";

  // Its standard error a pipe nobody reads any more (`zr-dhcp.exe 2>&1 | head -1`).
  const std::string cfg = svc.dir().file("zr-dhcp.cfg"), dat = svc.dir().file("zr-dhcp.dat"),
                    sys = svc.dir().file("no-sysfs");
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], 2);
    close(p[0]);
    close(p[1]);
    execl(ZR_DHCP_PATH, ZR_DHCP_PATH, "--config", cfg.c_str(), "--data", dat.c_str(), "--sysfs", sys.c_str(),
          static_cast<char *>(nullptr));
    _exit(127);
  }
  close(p[0]);
  close(p[1]);
  EXPECT_TRUE(eventually([&] { return pc.addresses("zrh0").find("172.16.0.1/30") != std::string::npos; }, 3000));
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "it died";
  kill(pid, SIGTERM);
  int status = -1;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(pc.addresses("zrh0"), "");
}

// The table of adapters: one left by an instance that ended goes when the next starts; one
// that cannot be replaced (a folder stands in its place) is said once, the adapters are
// served all the same, and it is written again on the next change once it can be.  A second
// instance on the same runtime folder ends with status 4; SIGINT ends the first cleanly, its
// table with it.
TEST(DhcpService, ATableLeftBehindGoesAndOneThatCannotBeWrittenIsSaidOnce) {
  Computer pc;
  NEED_NETWORK(pc);
  Service svc("interface = zrh0\ninterface = zrh1\n");
  const std::string table = svc.dir().file("adapters");
  zrtest::WriteFile(table, "zr-dhcp-table 1 pid=1\nadapter index=9 interface=zrold state=leased\n");
  ASSERT_TRUE(svc.start()) << svc.log();
  EXPECT_EQ(svc.table().find("zrold"), std::string::npos) << svc.table();
  ASSERT_EQ(svc.stop(), 0) << svc.log();

  ASSERT_EQ(mkdir(table.c_str(), 0755), 0);
  zrtest::WriteFile(table + "/in-the-way", "");
  ASSERT_TRUE(svc.start()) << svc.log();
  ASSERT_TRUE(pc.plug("zrh0", "", nullptr, "zrc0"));
  EXPECT_TRUE(svc.wait_log("address 172.16.0.1/30 set on zrh0", 1000)) << svc.log();
  ASSERT_TRUE(pc.plug("zrh1", "", nullptr, "zrc1"));
  EXPECT_TRUE(svc.wait_log("address 172.16.0.5/30 set on zrh1", 1000)) << svc.log();
  const std::string said = "cannot write the table of adapters " + table + ": ";
  const std::string log = svc.log();
  EXPECT_NE(log.find(said), std::string::npos) << log;
  EXPECT_EQ(log.find(said), log.rfind(said)) << "said once:\n" << log;

  const TempDir other;
  Ran second = run({ZR_DHCP_PATH, "--config", svc.dir().file("zr-dhcp.cfg"), "--data", other.file("zr-dhcp.dat"),
                    "--run-dir", svc.dir().path(), "--sysfs", svc.dir().file("no-sysfs")},
                   3000);
  EXPECT_EQ(second.status, 4) << second.out;
  EXPECT_NE(second.out.find(svc.dir().file("zr-dhcp.pid")), std::string::npos) << second.out;

  ASSERT_EQ(run({"rm", "-r", table}).status, 0);
  ASSERT_TRUE(pc.unplug("zrh1"));
  EXPECT_TRUE(svc.wait_log("the table of adapters is written to " + table + " again", 1000)) << svc.log();
  EXPECT_NE(svc.table().find(" interface=zrh0 "), std::string::npos) << svc.table();

  kill(svc.pid(), SIGINT);
  EXPECT_TRUE(svc.wait_log("address 172.16.0.1/30 removed from zrh0", 2000)) << "SIGINT ends it:\n" << svc.log();
  EXPECT_EQ(svc.stop(), 0) << svc.log();
  EXPECT_EQ(access(table.c_str(), F_OK), -1) << "its table goes with it";

  // A runtime folder named but missing is not made (a mistyped name would leave a folder
  // behind): the service serves all the same, without a table.
  zrtest::WriteFile(other.file("zr-dhcp.cfg"), "usb = 0001:0001\n");
  const std::string missing = other.file("missing");
  Ran unmade = run({ZR_DHCP_PATH, "--config", other.file("zr-dhcp.cfg"), "--data", other.file("zr-dhcp.dat"),
                    "--run-dir", missing, "--sysfs", svc.dir().file("no-sysfs")},
                   1000);
  EXPECT_NE(unmade.out.find("no table of adapters: cannot lock " + missing + "/zr-dhcp.pid"), std::string::npos)
      << unmade.out;
  EXPECT_NE(unmade.out.find("serving handheld adapters"), std::string::npos) << unmade.out;
  EXPECT_EQ(access(missing.c_str(), F_OK), -1) << "the folder was made";
}

TEST(DhcpService, ARenamedAdapterIsServedByItsIndexNotByAStaleName) {
  Computer pc;
  NEED_NETWORK(pc);
  Handheld hh;
  ASSERT_TRUE(hh.ok());
  TempDir sys;
  Service svc("usb = 4407:7705\n", sys.path());
  ASSERT_TRUE(svc.start()) << svc.log();
  // While the service is held, adapter A comes as zrh0 and is renamed (as udev does), and
  // adapter B takes the name: the events it then reads name zrh0 for both.
  kill(svc.pid(), SIGSTOP);
  ASSERT_TRUE(pc.plug("zrh0", "", &hh, "zrca", 100));
  ASSERT_EQ(run({"ip", "link", "set", "zrh0", "name", "zrenxa"}).status, 0);
  ASSERT_TRUE(pc.plug("zrh0", "", &hh, "zrcb", 101));
  fake_usb_adapter(sys, "zrenxa", "4407:7705", "AAA", 100);
  fake_usb_adapter(sys, "zrh0", "4407:7705", "BBB", 101);
  kill(svc.pid(), SIGCONT);
  ASSERT_TRUE(svc.wait_log("set on zrenxa", 2000)) << svc.log();
  ASSERT_TRUE(svc.wait_log("set on zrh0", 2000)) << svc.log();
  EXPECT_NE(svc.log().find("adapter zrenxa found (USB 4407:7705, serial AAA)"), std::string::npos) << svc.log();
  EXPECT_NE(svc.log().find("adapter zrh0 found (USB 4407:7705, serial BBB)"), std::string::npos) << svc.log();

  // Each handheld gets one offer, from the subnet of its own adapter.
  for (const char *side : {"zrca", "zrcb"}) {
    ClientSocket sock(hh, side);
    ASSERT_TRUE(sock.ok());
    // As a client does, the discover is sent again when no offer came: on a loaded machine
    // the adapter's socket may open a moment after its address is logged.
    std::vector<uint8_t> reply;
    int sent = 0;
    while (reply.empty() && sent < 3) {
      ASSERT_TRUE(sock.send(Message(zrdhcp::kDiscover).bytes()));
      ++sent;
      reply = sock.receive(1000);
    }
    ReplyView offer(reply);
    ASSERT_EQ(offer.type(), zrdhcp::kOffer) << side << "\n" << svc.log();
    const std::string host = std::string(side) == "zrca" ? "zrenxa" : "zrh0";
    EXPECT_NE(pc.addresses(host).find(zrdhcp::ipv4_text(offer.yiaddr() - 1) + "/30"), std::string::npos)
        << side << " was offered " << zrdhcp::ipv4_text(offer.yiaddr()) << "\n"
        << pc.addresses(host);
    if (sent == 1) {
      EXPECT_TRUE(sock.receive(300).empty()) << side << " got a second offer";
    }
  }

  // Renamed while it is served: the log and the table of adapters follow the new name.
  ASSERT_EQ(run({"ip", "link", "set", "zrh0", "down"}).status, 0);
  ASSERT_EQ(run({"ip", "link", "set", "zrh0", "name", "zrenxb"}).status, 0);
  ASSERT_EQ(run({"ip", "link", "set", "zrenxb", "up"}).status, 0);
  EXPECT_TRUE(svc.wait_log("adapter zrh0 is now called zrenxb", 2000)) << svc.log();
  EXPECT_TRUE(eventually([&] { return svc.table().find(" interface=zrenxb ") != std::string::npos; }, 1000)) << svc.table();
}

TEST(DhcpService, KeepsServingAfterAddressesChangedElsewhereDuringItsRequests) {
  Computer pc;
  NEED_NETWORK(pc);
  ASSERT_TRUE(pc.plug("zrlan", "", nullptr, "zrlan1"));
  TempDir batch;
  std::string add, del;
  for (int i = 0; i < 2000; ++i) {
    const std::string a = "10.200." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) + "/32 dev zrlan\n";
    add += "address add " + a;
    del += "address del " + a;
  }
  zrtest::WriteFile(batch.file("add"), add, 0644);
  zrtest::WriteFile(batch.file("del"), del, 0644);
  Service svc(
      "interface = zra\ninterface = zrb\ninterface = zrc\ninterface = zrd\ninterface = zre\n"
      "interface = zrf\ninterface = zrz\n");
  ASSERT_TRUE(svc.start()) << svc.log();
  // The computer's addresses change without pause for a few seconds while adapters come:
  // the service's dumps are interrupted and their answers cut short.
  std::thread churn([&] {
    run({"sh", "-c",
         "for i in 1 2 3 4 5 6 7 8; do ip -batch " + batch.file("add") + "; ip -batch " + batch.file("del") + "; done"},
        15000);
  });
  for (const char *name : {"zra", "zrb", "zrc", "zrd", "zre", "zrf"}) {
    pc.plug(name, "", nullptr, std::string(name) + "p");
    usleep(200000);
  }
  churn.join();
  ASSERT_TRUE(pc.plug("zrz", "", nullptr, "zrzp"));
  EXPECT_TRUE(svc.wait_log("set on zrz", 2000)) << "no longer served after the changes:\n" << svc.log();
  EXPECT_TRUE(svc.running());
}

TEST(DhcpService, ALogReaderThatReadsNothingNeverHoldsTheService) {
  Computer pc;
  NEED_NETWORK(pc);
  TempDir dir;
  zrtest::WriteFile(dir.file("zr-dhcp.cfg"), "interface = zrh0\ninterface = zrh1\n", 0644);
  const std::string cfg = dir.file("zr-dhcp.cfg"), dat = dir.file("zr-dhcp.dat"), sys = dir.file("no-sysfs");
  // Its standard error a pipe that is full from the start and that nobody reads.
  int p[2];
  ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
  fcntl(p[1], F_SETPIPE_SZ, 16384);
  const std::string fill(512, 'x');
  while (write(p[1], fill.data(), fill.size()) > 0) {
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], 2);
    fcntl(2, F_SETFL, 0);
    execl(ZR_DHCP_PATH, ZR_DHCP_PATH, "--config", cfg.c_str(), "--data", dat.c_str(), "--sysfs", sys.c_str(),
          static_cast<char *>(nullptr));
    _exit(127);
  }
  close(p[1]);
  ASSERT_TRUE(pc.plug("zrh0", "", nullptr, "zrc0"));
  EXPECT_TRUE(eventually([&] { return pc.addresses("zrh0").find("172.16.0.1/30") != std::string::npos; }, 3000));

  // Once read again, the log says how much it lost.
  char buf[4096];
  while (read(p[0], buf, sizeof buf) > 0) {
  }
  ASSERT_TRUE(pc.plug("zrh1", "", nullptr, "zrc1"));
  std::string got;
  EXPECT_TRUE(eventually(
      [&] {
        ssize_t n = read(p[0], buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        return got.find("set on zrh1") != std::string::npos;
      },
      3000))
      << got;
  EXPECT_NE(got.find("lines of the log dropped"), std::string::npos) << got;

  kill(pid, SIGTERM);
  int status = -1;
  EXPECT_TRUE(eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 2000)) << "SIGTERM had no effect";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  if (waitpid(pid, nullptr, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  EXPECT_EQ(pc.addresses("zrh0"), "");
  close(p[0]);
}

TEST(DhcpService, TheHandheldsFirstDiscoverIsAnswered) {
  Computer pc;
  NEED_NETWORK(pc);
  Handheld hh;
  ASSERT_TRUE(hh.ok());
  // Every socket the service makes after its two netlink ones takes a second to make
  // (strace delays the call): a DHCP socket made only once the link is up would miss the
  // DISCOVER the handheld sends as soon as it sees the link.
  Service svc("interface = zrh0\n");
  ASSERT_TRUE(svc.start({"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=socket", "-e",
                         "inject=socket:delay_enter=1s:when=3+", "--"}))
      << svc.log();
  const std::string children =
      read_file("/proc/" + std::to_string(svc.pid()) + "/task/" + std::to_string(svc.pid()) + "/children");
  const pid_t service = static_cast<pid_t>(std::atol(children.c_str()));
  ASSERT_GT(service, 0) << children;
  ASSERT_TRUE(pc.plug("zrh0", "", &hh, "zrc0"));
  ClientSocket sock(hh, "zrc0");
  ASSERT_TRUE(sock.ok());
  EXPECT_TRUE(eventually(
      [&] {
        return hh.run({"ip", "-o", "link", "show", "zrc0"}).out.find("LOWER_UP") != std::string::npos;
      },
      8000))
      << svc.log();
  ASSERT_TRUE(sock.send(Message(zrdhcp::kDiscover).bytes()));
  EXPECT_EQ(ReplyView(sock.receive(3000)).type(), zrdhcp::kOffer) << svc.log();
  kill(service, SIGTERM);
  EXPECT_TRUE(eventually([&] { return !svc.running(); }, 5000));
}

// ---- starting ---------------------------------------------------------------------------------

TEST(DhcpService, BadSettingsAndMissingPrivilegesStopItWithAClearMessage) {
  Computer pc;
  NEED_NETWORK(pc);
  TempDir dir;
  zrtest::WriteFile(dir.file("zr-dhcp.cfg"), "usb = 4407:7705\nspeed = fast\n", 0644);
  Ran r = run({ZR_DHCP_PATH, "--config", dir.file("zr-dhcp.cfg"), "--data", dir.file("zr-dhcp.dat")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find(dir.file("zr-dhcp.cfg") + ":2: unknown key \"speed\""), std::string::npos) << r.out;
  r = run({ZR_DHCP_PATH, "--config", dir.file("missing.cfg")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("missing.cfg"), std::string::npos) << r.out;
  r = run({ZR_DHCP_PATH, "--frobnicate"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("Usage"), std::string::npos) << r.out;

  zrtest::WriteFile(dir.file("zr-dhcp.cfg"), "interface = zrh0\n", 0644);
  for (const char *cap : {"net_admin", "net_bind_service"}) {
    r = run({"setpriv", std::string("--bounding-set=-") + cap, std::string("--inh-caps=-") + cap, "--", ZR_DHCP_PATH,
             "--config", dir.file("zr-dhcp.cfg"), "--data", dir.file("zr-dhcp.dat")});
    EXPECT_EQ(r.status, 3) << cap << ": " << r.out;
    std::string upper = cap;
    for (char &c : upper) c = static_cast<char>(toupper(c));
    EXPECT_NE(r.out.find("missing privilege CAP_" + upper), std::string::npos) << r.out;
  }
}

TEST(DhcpService, TheStoreIsNeitherWrittenThroughALinkNorWaitedOn) {
  Computer pc;
  NEED_NETWORK(pc);
  Service svc("interface = zrh0\n");
  const std::string dat = svc.dir().file("zr-dhcp.dat"), victim = svc.dir().file("victim");
  zrtest::WriteFile(victim, "precious\n", 0644);
  auto start = [&] {
    return run(
        {ZR_DHCP_PATH, "--config", svc.dir().file("zr-dhcp.cfg"), "--data", dat, "--sysfs", svc.dir().file("no-sysfs")},
        3000);
  };
  // A FIFO or a link as the store: refused at once, with the reason.
  ASSERT_EQ(mkfifo(dat.c_str(), 0644), 0);
  Ran r = start();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find(dat + ": it is not a regular file"), std::string::npos) << r.out;
  unlink(dat.c_str());
  ASSERT_EQ(symlink(victim.c_str(), dat.c_str()), 0);
  r = start();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find(dat + ": it is a symbolic link"), std::string::npos) << r.out;
  unlink(dat.c_str());

  // A link planted where the former program put its new store is never written through.
  ASSERT_EQ(symlink(victim.c_str(), (dat + ".new").c_str()), 0);
  ASSERT_TRUE(svc.start()) << svc.log();
  ASSERT_TRUE(pc.plug("zrh0", "", nullptr, "zrc0"));
  ASSERT_TRUE(svc.wait_log("set on zrh0", 1000)) << svc.log();
  EXPECT_TRUE(eventually([&] { return svc.data().find("172.16.0.0/30") != std::string::npos; }, 1000)) << svc.log();
  EXPECT_EQ(read_file(victim), "precious\n");
  struct stat st;
  EXPECT_TRUE(lstat(dat.c_str(), &st) == 0 && S_ISREG(st.st_mode));
}

TEST(DhcpService, ADamagedStoreIsToldInOneLine) {
  Computer pc;
  NEED_NETWORK(pc);
  {
    // A few damaged lines are each described; the good ones are kept.
    Service few("interface = zrh0\n");
    zrtest::WriteFile(few.dir().file("zr-dhcp.dat"), "one\nserial:A 172.16.0.4/30\ntwo\n", 0644);
    ASSERT_TRUE(few.start()) << few.log();
    ASSERT_TRUE(few.wait_log("passed over", 1000)) << few.log();
    EXPECT_NE(few.log().find("zr-dhcp.dat: 2 damaged lines passed over (1: \"one\" is not \"KEY 172.16.N.M/30\"; 3: "
                             "\"two\" is not \"KEY 172.16.N.M/30\")\n"),
              std::string::npos)
        << few.log();
  }
  Service svc("interface = zrh0\n");
  std::string broken;
  for (int i = 0; i < 5000; ++i) broken += "damaged " + std::to_string(i) + "\n";
  zrtest::WriteFile(svc.dir().file("zr-dhcp.dat"), broken, 0644);
  ASSERT_TRUE(svc.start()) << svc.log();
  ASSERT_TRUE(pc.plug("zrh0", "", nullptr, "zrc0"));
  ASSERT_TRUE(svc.wait_log("set on zrh0", 1000)) << svc.log().substr(0, 2000);
  const std::string log = svc.log();
  size_t lines = 0;
  for (size_t at = log.find("zr-dhcp.dat"); at != std::string::npos; at = log.find("zr-dhcp.dat", at + 1)) ++lines;
  EXPECT_EQ(lines, 2u) << log.substr(0, 2000);  // the paths at the start, and the one line
  EXPECT_NE(log.find("5000 damaged lines passed over (the first: 1: \"damaged 0\""), std::string::npos)
      << log.substr(0, 2000);
}

TEST(DhcpService, RunByHandItTakesTheInstalledPathsUnlessItsSettingsAreBesideIt) {
  Computer pc;
  NEED_NETWORK(pc);
  const std::string installed_store = std::string(ZR_DHCP_STATE_DIR) + "/zr-dhcp.dat";
  Ran help = run({ZR_DHCP_PATH, "--help"});
  EXPECT_NE(help.out.find(ZR_DHCP_CONFIG_FILE), std::string::npos) << help.out;
  EXPECT_NE(help.out.find(installed_store), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("(default " + zrdhcp::usb_id_text(zrdhcp::kHandheldUsbId) + ")"), std::string::npos)
      << help.out;
  EXPECT_NE(help.out.find("lease time offered (default " + std::to_string(zrdhcp::Config{}.lease) + ")"),
            std::string::npos)
      << help.out;
  // Its exit codes, each once and in order, as the manual lists them.
  std::string codes;
  const size_t list = help.out.find("Exit codes:");
  for (size_t at = list; at != std::string::npos; at = help.out.find(',', at + 1)) {
    size_t first = help.out.find_first_not_of(" \n,", at == list ? at + 11 : at);
    if (first != std::string::npos && std::isdigit(static_cast<unsigned char>(help.out[first])))
      codes += help.out[first];
  }
  EXPECT_EQ(codes, "01234") << help.out;

  // With the installed paths it makes the installed state folder (here on a private tmpfs,
  // as is the runtime folder), and serves.
  std::string top = std::string(ZR_DHCP_STATE_DIR).substr(0, std::string(ZR_DHCP_STATE_DIR).rfind('/'));
  while (access(top.c_str(), F_OK) != 0) top = top.substr(0, top.rfind('/'));
  Ran installed = run({"unshare", "-m", "sh", "-c",
                       "mount -t tmpfs none /run && mount -t tmpfs none " + top + " && mkdir -p " +
                           std::string(ZR_DHCP_STATE_DIR).substr(0, std::string(ZR_DHCP_STATE_DIR).rfind('/')) +
                           " && exec " + ZR_DHCP_PATH},
                      500);
  EXPECT_NE(installed.out.find("store " + installed_store), std::string::npos) << installed.out;
  EXPECT_EQ(installed.out.find("cannot"), std::string::npos) << installed.out;

  // A copy of the program alone in a folder (its store given, so that nothing is written
  // in the installed state folder).
  TempDir folder;
  ASSERT_EQ(run({"cp", ZR_DHCP_PATH, folder.file("zr-dhcp.exe")}).status, 0);
  Ran r = run({folder.file("zr-dhcp.exe"), "--data", folder.file("zr-dhcp.dat")}, 500);
  EXPECT_NE(r.out.find(ZR_DHCP_CONFIG_FILE), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(folder.file("zr-dhcp.cfg")), std::string::npos) << r.out;

  // Beside its settings (as the link library keeps it), its store goes there too.
  zrtest::WriteFile(folder.file("zr-dhcp.cfg"), "interface = zrh0\n", 0644);
  r = run({folder.file("zr-dhcp.exe")}, 500);
  EXPECT_NE(r.out.find("settings " + folder.file("zr-dhcp.cfg") + ", store " + folder.file("zr-dhcp.dat")),
            std::string::npos)
      << r.out;
}

// ---- shared with the link library's users -----------------------------------------------------

// The service under a name of this test's own (so that parallel tests never find it), with
// named objects of its own, in a folder beside its settings.
class LibraryUsers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pc.ok()) GTEST_SKIP() << "no private network: " << pc.why();
    program = "zr-dhcp-t" + std::to_string(getpid()) + ".exe";
    ASSERT_EQ(run({"cp", ZR_DHCP_PATH, folder.file(program)}).status, 0);
    zrtest::WriteFile(folder.file("zr-dhcp.cfg"), "interface = zrh0\n", 0644);
    prefix = "zrdhcp-svc-" + std::to_string(getpid()) + "-";
    zri_dhcp_names(prefix.c_str(), program.c_str());
    ASSERT_TRUE(pc.plug("zrh0", "", nullptr, "zrc0"));
  }
  void TearDown() override {
    while (KQ_ZR_dhcp_cleanup() == 0 && ++rounds < 10) {
    }
    zr_os_named_remove(zri_dhcp_mutex_name());
    zr_os_named_remove(zri_dhcp_shared_name());
    zri_dhcp_names(nullptr, nullptr);
    run({"pkill", "-KILL", "-f", folder.file(program)});
  }
  bool has_address() const { return pc.addresses("zrh0").find("172.16.0.1/30") != std::string::npos; }
  Computer pc;
  TempDir folder;
  std::string program, prefix;
  int rounds = 0;
};

TEST_F(LibraryUsers, FindTheRunningServiceAndNeverStopIt) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execl(folder.file(program).c_str(), program.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  ASSERT_TRUE(eventually([&] { return has_address(); }, 3000)) << "the service did not serve zrh0";
  for (int user = 0; user < 2; ++user) {
    ASSERT_EQ(KQ_ZR_dhcp_init(folder.path().c_str(), ""), 0);
    EXPECT_EQ(KQ_ZR_dhcp_cleanup(), 0);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the last user stopped the service";
  }
  EXPECT_TRUE(has_address());
  kill(pid, SIGTERM);
  EXPECT_EQ(waitpid(pid, nullptr, 0), pid);
  EXPECT_TRUE(eventually([&] { return !has_address(); }, 3000));
}

TEST_F(LibraryUsers, AServiceTheLibraryStartedCleansUpWhenItsLastUserLetsGo) {
  ASSERT_EQ(KQ_ZR_dhcp_init(folder.path().c_str(), ""), 0);
  ASSERT_TRUE(eventually([&] { return has_address(); }, 3000)) << "the started service did not serve zrh0";
  EXPECT_EQ(KQ_ZR_dhcp_cleanup(), 0);
  EXPECT_FALSE(has_address()) << "the service was ended before it could remove its address";
}

// ---- zrlink's hint ------------------------------------------------------------------------------

TEST(DhcpService, ZrlinkPointsAtTheServiceWhenAnAdapterHasNoAddress) {
  Computer pc;
  NEED_NETWORK(pc);
  TempDir sys;
  fake_usb_adapter(sys, "zrusb0", "4407:7705", "CALC", 100);
  fake_usb_adapter(sys, "zrusb1", "1234:5678", "", 101);
  ASSERT_TRUE(pc.plug("zrusb0", "", nullptr, "zrc0", 100));
  int status = -1;
  std::string out = zrlink({"list"}, &status, {"ZR_SYSFS=" + sys.path()});
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("no handheld attached"), std::string::npos) << out;
  EXPECT_NE(out.find("zrusb0"), std::string::npos) << out;
  EXPECT_NE(out.find("zr-dhcp"), std::string::npos) << out;
  EXPECT_EQ(out.find("zrusb1"), std::string::npos) << out;

  // Once the adapter has its address, the handheld shows as a candidate and the hint goes.
  ASSERT_EQ(run({"ip", "addr", "add", "172.16.0.1/30", "dev", "zrusb0"}).status, 0);
  out = zrlink({"list"}, &status, {"ZR_SYSFS=" + sys.path()});
  EXPECT_NE(out.find("172.16.0.2"), std::string::npos) << out;
  EXPECT_EQ(out.find("zr-dhcp"), std::string::npos) << out;
}

}  // namespace
