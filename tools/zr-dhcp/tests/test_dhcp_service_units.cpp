// The DHCP service's plain parts: its settings, the remembered subnets, the reading of
// requests (broken and hostile ones included) and the answers on a one-address link.
#include "dhcp-config.h"
#include "dhcp-lease.h"
#include "dhcp-os.h"
#include "dhcp-packet.h"
#include "dhcp-store.h"
#include "dhcp-table.h"
#include "dhcp_messages.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>

#include "standard_input.h"
#include "test_files.h"
#endif

#include <cerrno>
#include <set>
#include <string>

namespace zrdhcp {
namespace {

using zrdhcptest::Message;

// ---- settings ----------------------------------------------------------------------------

TEST(DhcpConfig, ReadsEveryKeyWithCommentsAndDefaults) {
  Config c;
  std::string error;
  ASSERT_TRUE(
      parse_config("# handhelds\n\nusb = 4407:7705\nusb=1D6B:0104 # a gadget\n"
                   "interface = zrh0\ninterface = enx020000000001\nlease = 600\r\n",
                   &c, &error))
      << error;
  ASSERT_EQ(c.usb.size(), 2u);
  EXPECT_EQ(c.usb[1].vendor, 0x1d6b);
  EXPECT_EQ(c.usb[1].product, 0x0104);
  EXPECT_EQ(c.interfaces, (std::vector<std::string>{"zrh0", "enx020000000001"}));
  EXPECT_EQ(c.lease, 600u);

  ASSERT_TRUE(parse_config("", &c, &error));
  ASSERT_EQ(c.usb.size(), 1u);
  EXPECT_TRUE(c.usb[0] == kHandheldUsbId);
  EXPECT_TRUE(c.interfaces.empty());
  EXPECT_EQ(c.lease, 3600u);
  ASSERT_TRUE(parse_config("interface = a\n", &c, &error));
  EXPECT_TRUE(c.usb[0] == kHandheldUsbId) << "naming interfaces keeps the handheld's own id";
}

TEST(DhcpConfig, AnErrorNamesItsLineAndKeepsTheFormerSettings) {
  const std::pair<const char *, const char *> bad[] = {
      {"usb = 4407:7705\nspeed = 9\n", "2: unknown key \"speed\""},
      {"\n\nusb = 4407-7705\n", "3: usb"},
      {"usb = 44077:705\n", "1: usb"},
      {"usb = 44g7:7705\n", "1: usb"},
      {"lease = 0\n", "1: lease"},
      {"lease = -5\n", "1: lease"},
      {"lease = 4294967296\n", "1: lease"},
      {"lease = 12s\n", "1: lease"},
      {"lease = \n", "1: lease"},
      {"interface = a/b\n", "1: interface"},
      {"interface = sixteen-chars-xx\n", "1: interface"},
      {"interface = a b\n", "1: interface"},
      {"interface = a:1\n", "1: interface"},
      {"interface = a\x7f\n", "1: interface"},
      {"interface = ..\n", "1: interface"},
      {"just text\n", "1: expected \"key = value\""},
  };
  for (const auto &b : bad) {
    Config c;
    c.lease = 77;
    std::string error;
    EXPECT_FALSE(parse_config(b.first, &c, &error)) << b.first;
    EXPECT_EQ(error.rfind(b.second, 0), 0u) << b.first << " gave: " << error;
    EXPECT_EQ(c.lease, 77u) << "a failed read changes nothing";
  }
  Config c;
  std::string error;
  EXPECT_TRUE(parse_config("lease = 4294967295\n", &c, &error));
  EXPECT_FALSE(read_config("/nonexistent/zr-dhcp.cfg", true, &c, &error));
  EXPECT_NE(error.find("/nonexistent/zr-dhcp.cfg"), std::string::npos);
  EXPECT_TRUE(read_config("/nonexistent/zr-dhcp.cfg", false, &c, &error));
}

// How Windows names a USB adapter's device: the id, and the serial only where it is one.
TEST(DhcpConfig, ReadsUsbDeviceInstanceIds) {
  UsbId id;
  std::string serial = "x";
  bool composite = true;
  EXPECT_TRUE(parse_device_instance_id("USB\\VID_4407&PID_7705\\ZR0042", &id, &serial, &composite));
  EXPECT_TRUE(id == (UsbId{0x4407, 0x7705}));
  EXPECT_EQ(serial, "ZR0042");
  EXPECT_FALSE(composite);
  EXPECT_TRUE(parse_device_instance_id("usb\\vid_abcd&pid_00ef&rev_0100\\5&1a2b3c4&0&2", &id, &serial, &composite));
  EXPECT_TRUE(id == (UsbId{0xABCD, 0x00EF}));
  EXPECT_EQ(serial, "") << "an instance Windows made up is no serial";
  EXPECT_TRUE(parse_device_instance_id("USB\\VID_4407&PID_7705&MI_00\\6&2C0FFEE&0&0000", &id, &serial, &composite));
  EXPECT_TRUE(composite);
  EXPECT_EQ(serial, "");
  for (const char *bad : {"", "PCI\\VEN_8086&DEV_1234\\3&1", "USB\\VID_44G7&PID_7705\\X", "USB\\VID_4407&PID_77051\\X",
                          "USB\\VID_4407&PID_770", "USB\\ROOT_HUB30\\4&1"})
    EXPECT_FALSE(parse_device_instance_id(bad, &id, &serial, &composite)) << bad;
}

// ---- remembered subnets ----------------------------------------------------------------

TEST(DhcpStore, ReadsWritesAndPassesOverDamagedLines) {
  Store s;
  std::vector<std::string> skipped;
  s.parse("", &skipped);
  EXPECT_TRUE(s.empty());
  EXPECT_TRUE(skipped.empty());

  s.parse(
      "# comment\nmac:02:00:00:00:00:01 172.16.0.4/30\nserial:4407:7705:AB12 172.16.1.0/30\n"
      "mac:02:00:00:00:00:02 172.16.0.5/30\nmac:x 10.0.0.0/30\nother:y 172.16.0.8/30\n"
      "mac:02:00:00:00:00:03 172.16.0.8/24\nmac:02:00:00:00:00:04\n",
      &skipped);
  EXPECT_EQ(s.find("mac:02:00:00:00:00:01"), 1);
  EXPECT_EQ(s.find("serial:4407:7705:AB12"), 64);
  EXPECT_EQ(s.find("mac:02:00:00:00:00:02"), -1) << "not the start of a /30";
  EXPECT_EQ(skipped.size(), 5u);
  EXPECT_EQ(skipped[0].rfind("4: ", 0), 0u);

  Store again;
  again.parse(s.text(), &skipped);
  EXPECT_EQ(again.text(), s.text());
  EXPECT_EQ(again.find("serial:4407:7705:AB12"), 64);
}

TEST(DhcpStore, ChoosesTheRememberedSubnetThenTheLowestFreeOne) {
  Store s;
  s.remember("mac:a", 0);
  s.remember("mac:b", 2);
  EXPECT_EQ(s.choose("mac:b", {}), 2) << "its own subnet even when a lower one is free";
  EXPECT_EQ(s.choose("mac:new", {}), 1) << "a subnet remembered for another stays free";
  EXPECT_EQ(s.choose("mac:new", {1}), 3);
  EXPECT_EQ(s.choose("mac:b", {2}), 1) << "its own subnet is busy: the lowest free one";

  std::set<int> busy;
  for (int n = 0; n < kSubnetCount; ++n)
    if (n != 2) busy.insert(n);
  EXPECT_EQ(s.choose("mac:new", busy), 2) << "another's subnet only when nothing else is left";
  busy.insert(2);
  EXPECT_EQ(s.choose("mac:new", busy), -1);
  busy.erase(0);
  EXPECT_EQ(s.choose("mac:new", busy), 0) << "the first subnet too";

  EXPECT_EQ(subnet_of(0xAC10FFFEu), 16383);
  EXPECT_EQ(subnet_of(0xAC110001u), -1);
  EXPECT_EQ(subnet_host(16383), 0xAC10FFFDu);
  EXPECT_EQ(subnet_handheld(1), 0xAC100006u);
}

TEST(DhcpStore, SerialsAreKeptExactlyAndFormerKeysStillRead) {
  // Chosen by the device: "#", white space, "%", "_" and any byte.
  const std::string serials[] = {"AB#12", "A B", "A_B", "A%20B", std::string("x\0\xff\n", 4), "plain-0001"};
  Store s;
  std::set<std::string> keys;
  for (size_t i = 0; i < sizeof serials / sizeof serials[0]; ++i) {
    const std::string key = "serial:4407:7705:" + serial_key_text(serials[i]);
    EXPECT_TRUE(keys.insert(key).second) << key;
    s.remember(key, static_cast<int>(i));
  }
  EXPECT_EQ(serial_key_text("plain-0001"), "plain-0001");
  Store again;
  std::vector<std::string> skipped;
  again.parse(s.text(), &skipped);
  EXPECT_TRUE(skipped.empty());
  EXPECT_EQ(again.text(), s.text());
  for (size_t i = 0; i < sizeof serials / sizeof serials[0]; ++i)
    EXPECT_EQ(again.find("serial:4407:7705:" + serial_key_text(serials[i])), static_cast<int>(i)) << i;

  // A store of an earlier version, "#" in a key included.
  again.parse(
      "# written by an earlier version\nserial:4407:7705:AB#12 172.16.0.8/30\nserial:4407:7705:A_B 172.16.0.12/30\n",
      &skipped);
  EXPECT_TRUE(skipped.empty());
  EXPECT_EQ(again.find("serial:4407:7705:" + former_serial_key_text("AB#12")), 2);
  EXPECT_EQ(again.find("serial:4407:7705:" + former_serial_key_text("A B")), 3);
}

TEST(DhcpStore, KeepsABoundedNumberOfKeysAndDescribesOnlyTheFirstDamagedLines) {
  Store s;
  auto key = [](size_t i) { return "mac:" + std::to_string(i); };
  for (size_t i = 0; i < kMaxKeys; ++i) s.remember(key(i), static_cast<int>(i));
  EXPECT_TRUE(s.touch(key(0)));  // plugged in again: used now
  s.remember(key(kMaxKeys), 7);
  s.remember(key(kMaxKeys + 1), 8);
  EXPECT_EQ(s.size(), kMaxKeys);
  EXPECT_EQ(s.find(key(0)), 0);
  EXPECT_EQ(s.find(key(1)), -1) << "the least recently used goes first";
  EXPECT_EQ(s.find(key(2)), -1);
  EXPECT_EQ(s.find(key(3)), 3);

  // The order of use survives the file; a file over the bound loses its oldest lines.
  std::string text = s.text() + "mac:extra 172.16.0.8/30\n";
  Store again;
  std::vector<std::string> skipped;
  size_t damaged = 1, dropped = 0;
  again.parse(text, &skipped, &damaged, &dropped);
  EXPECT_EQ(dropped, 1u);
  EXPECT_EQ(damaged, 0u);
  EXPECT_EQ(again.find(key(3)), -1);
  EXPECT_EQ(again.find(key(0)), 0);
  EXPECT_EQ(again.find("mac:extra"), 2);

  std::string broken;
  for (int i = 0; i < 100000; ++i) broken += "garbage line " + std::to_string(i) + "\n";
  skipped.clear();
  again.parse(broken + "mac:ok 172.16.0.4/30\n", &skipped, &damaged, &dropped);
  EXPECT_EQ(damaged, 100000u);
  EXPECT_EQ(skipped.size(), kDamagedShown);
  EXPECT_EQ(skipped[0].rfind("1: ", 0), 0u) << skipped[0];
  EXPECT_EQ(again.find("mac:ok"), 1);
}

TEST(DhcpStore, ANetworkMakesBusyEverySubnetItOverlaps) {
  std::set<int> busy;
  mark_overlapping(0xAC10034Du, 16, &busy);  // 172.16.3.77/16: all of them
  EXPECT_EQ(busy.size(), size_t(kSubnetCount));
  busy.clear();
  mark_overlapping(0xAC100006u, 30, &busy);  // 172.16.0.6/30
  mark_overlapping(0xAC100110u, 28, &busy);  // 172.16.1.16/28
  mark_overlapping(0xAC10FFFFu, 32, &busy);
  mark_overlapping(0xAC000000u, 12, &busy);  // 172.0.0.0/12 ends before 172.16.0.0
  mark_overlapping(0x0A000001u, 8, &busy);
  EXPECT_EQ(busy, (std::set<int>{1, 68, 69, 70, 71, 16383}));
}

// ---- reading requests ---------------------------------------------------------------------

TEST(DhcpMessages, ReadsAWellFormedRequest) {
  Message m(kRequest);
  m.ciaddr(0).option32(50, 0xAC100002u).option32(54, 0xAC100001u).option(61, {1, 2, 3, 4, 5, 6, 7});
  Request r;
  std::string why;
  ASSERT_TRUE(parse_request(m.bytes().data(), m.bytes().size(), &r, &why)) << why;
  EXPECT_EQ(r.type, kRequest);
  EXPECT_TRUE(r.has_requested && r.has_server_id);
  EXPECT_EQ(r.requested, 0xAC100002u);
  EXPECT_EQ(r.server_id, 0xAC100001u);
  EXPECT_EQ(r.client_id.size(), 7u);
  EXPECT_EQ(r.hardware(), "02:00:00:00:00:01");

  // Options overloaded into the file and sname fields count too.
  Message o(0);
  o.option(52, {3}).in_file(53, {kDiscover}).in_sname(50, {172, 16, 0, 2});
  ASSERT_TRUE(parse_request(o.bytes().data(), o.bytes().size(), &r, &why)) << why;
  EXPECT_EQ(r.type, kDiscover);
  EXPECT_EQ(r.requested, 0xAC100002u);
  // 1 overloads the file field alone, 2 the sname field alone.
  Request file_only, sname_only;
  Message f(kDiscover);
  f.option(52, {1}).in_file(50, {172, 16, 0, 2}).in_sname(50, {1, 2, 3, 4});
  ASSERT_TRUE(parse_request(f.bytes().data(), f.bytes().size(), &file_only, &why)) << why;
  EXPECT_EQ(file_only.requested, 0xAC100002u);
  Message s(kDiscover);
  s.option(52, {2}).in_file(54, {172, 16, 0, 1}).in_sname(50, {172, 16, 0, 2});
  ASSERT_TRUE(parse_request(s.bytes().data(), s.bytes().size(), &sname_only, &why)) << why;
  EXPECT_EQ(sname_only.requested, 0xAC100002u);
  EXPECT_FALSE(sname_only.has_server_id);
  // Without the overload option the same fields are only names.
  Message n(kDiscover);
  n.in_file(50, {1, 2, 3, 4});
  ASSERT_TRUE(parse_request(n.bytes().data(), n.bytes().size(), &r, &why));
  EXPECT_FALSE(r.has_requested);
}

TEST(DhcpMessages, RefusesBrokenAndHostileMessagesWithAReason) {
  struct Case {
    const char *name;
    std::vector<uint8_t> bytes;
    const char *why;
  };
  std::vector<Case> cases;
  auto valid = Message(kDiscover).bytes();
  cases.push_back({"empty", {}, "truncated"});
  cases.push_back({"fixed part only", std::vector<uint8_t>(valid.begin(), valid.begin() + 239), "truncated"});
  cases.push_back({"no options", std::vector<uint8_t>(valid.begin(), valid.begin() + 240), "no DHCP message type"});
  cases.push_back({"BOOTREPLY", Message(kDiscover).op(2).bytes(), "BOOTREPLY"});
  cases.push_back({"bad op", Message(kDiscover).op(7).bytes(), "bad op"});
  cases.push_back({"long hardware address", Message(kDiscover).hlen(17).bytes(), "hardware address length"});
  cases.push_back({"bad cookie", Message(kDiscover).cookie(0x63825364).bytes(), "magic cookie"});
  cases.push_back({"option past the end", Message(kDiscover).raw({12, 200, 'a', 'b'}).bytes(), "runs past"});
  cases.push_back({"length byte missing", Message(kDiscover).raw({12}).bytes(), "runs past"});
  cases.push_back({"message ends at a code", Message(kDiscover).raw({12}).bytes(false), "runs past"});
  cases.push_back({"zero-length type", Message(0).raw({53, 0, 255}).bytes(), "length 0"});
  cases.push_back({"zero-length host name", Message(kDiscover).raw({12, 0, 255}).bytes(), "length 0"});
  cases.push_back({"long type", Message(0).raw({53, 2, 1, 1, 255}).bytes(), "instead of 1"});
  cases.push_back({"short server id", Message(kRequest).option(54, {172, 16, 0}).bytes(), "instead of 4"});
  cases.push_back({"short client id", Message(kDiscover).option(61, {1}).bytes(), "option 61"});
  cases.push_back({"bad overload", Message(kDiscover).option(52, {4}).bytes(), "bad value 4"});
  cases.push_back({"overload of nothing", Message(kDiscover).option(52, {0}).bytes(), "bad value 0"});
  cases.push_back({"overload inside overload", Message(kDiscover).option(52, {1}).in_file(52, {1}).bytes(),
                   "inside an overloaded field"});
  cases.push_back({"overflow in file", Message(kDiscover).option(52, {1}).in_file(12, {}, 130).bytes(), "file field"});
  cases.push_back({"plain BOOTP", Message(0).bytes(), "no DHCP message type"});
  for (const Case &c : cases) {
    // An exact-size copy, so that the sanitizer run catches any read past the end.
    std::vector<uint8_t> exact(c.bytes);
    Request r;
    std::string why;
    EXPECT_FALSE(parse_request(exact.data(), exact.size(), &r, &why)) << c.name;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.name << " gave: " << why;
  }
  // Pad options, a missing END and rapid commit (the one option of length 0) are fine.
  Message ok(kDiscover);
  ok.raw({0, 0, 80, 0});
  Request r;
  std::string why;
  auto b = ok.bytes(false);
  EXPECT_TRUE(parse_request(b.data(), b.size(), &r, &why)) << why;
}

TEST(DhcpMessages, ARepliesCopiesTheRequestAndCarriesTheOptions) {
  Message m(kDiscover);
  m.flags(0x8000).option(61, {1, 2, 0, 0, 0, 0, 1});
  Request req;
  std::string why;
  ASSERT_TRUE(parse_request(m.bytes().data(), m.bytes().size(), &req, &why));
  Reply rep;
  rep.type = kOffer;
  rep.yiaddr = 0xAC100002u;
  rep.server_id = 0xAC100001u;
  rep.mask = 0xFFFFFFFCu;
  rep.lease = 600;
  std::vector<uint8_t> out = build_reply(req, rep);
  ASSERT_GE(out.size(), 300u);
  zrdhcptest::ReplyView v(out);
  EXPECT_EQ(v.op(), 2);
  EXPECT_EQ(v.xid(), m.xid_value());
  EXPECT_EQ(v.flags(), 0x8000);
  EXPECT_EQ(v.yiaddr(), 0xAC100002u);
  EXPECT_EQ(v.chaddr(), "02:00:00:00:00:01");
  EXPECT_EQ(v.type(), kOffer);
  EXPECT_EQ(v.option32(54), 0xAC100001u);
  EXPECT_EQ(v.option32(51), 600u);
  EXPECT_EQ(v.option32(58), 300u);
  EXPECT_EQ(v.option32(59), 525u);
  EXPECT_EQ(v.option32(1), 0xFFFFFFFCu);
  EXPECT_EQ(v.option(61).size(), 7u);
  EXPECT_TRUE(v.ends());

  rep.lease = 0xFFFFFFFFu;
  zrdhcptest::ReplyView forever(build_reply(req, rep));
  EXPECT_EQ(forever.option32(51), 0xFFFFFFFFu);
  EXPECT_FALSE(forever.has(58)) << "no renewal time for an endless lease";
  EXPECT_TRUE(forever.ends());

  // The ACK of an INFORM (no address handed out) gives the client its own address back; a
  // NAK, which hands out none either, does not.
  Message inform(kInform);
  inform.ciaddr(0xAC100006u);
  ASSERT_TRUE(parse_request(inform.bytes().data(), inform.bytes().size(), &req, &why)) << why;
  Reply ack, nak;
  ack.type = kAck;
  nak.type = kNak;
  EXPECT_EQ(zrdhcptest::ReplyView(build_reply(req, ack)).ciaddr(), 0xAC100006u);
  EXPECT_EQ(zrdhcptest::ReplyView(build_reply(req, nak)).ciaddr(), 0u);
}

// ---- the table of adapters -------------------------------------------------------------

TEST(DhcpTable, ReadsWhatItWritesPassingOverWhatItDoesNotKnow) {
  std::vector<TableRow> rows(2);
  rows[0].index = 7;
  rows[0].interface = "usb0";
  rows[0].usb_port = "1-1.2";
  rows[0].serial = std::string("A B%#=\x01\xff", 8);
  rows[0].host = 0xAC100001u;
  rows[0].handheld = 0xAC100002u;
  rows[0].state = AdapterState::kLeased;
  rows[1].index = 9;
  rows[1].interface = "zrh0";
  const std::string text = table_text(42, rows);
  EXPECT_EQ(text,
            "zr-dhcp-table 1 pid=42\n"
            "adapter index=7 interface=usb0 usb-port=1-1.2 serial=A%20B%25%23=%01%FF host=172.16.0.1 "
            "handheld=172.16.0.2 state=leased\n"
            "adapter index=9 interface=zrh0 state=waiting\n");
  long pid = 0;
  std::vector<TableRow> back;
  std::string why;
  ASSERT_TRUE(
      parse_table(text + "adapter index=2147483647 interface=x state=gone colour=red\nnews\n", &pid, &back, &why))
      << why;
  EXPECT_EQ(pid, 42);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[0].serial, rows[0].serial);
  EXPECT_EQ(back[0].usb_port, "1-1.2");
  EXPECT_EQ(back[0].handheld, 0xAC100002u);
  EXPECT_EQ(back[1].host, 0u);
  EXPECT_EQ(back[2].state, AdapterState::kGone);
  EXPECT_EQ(back[2].index, 2147483647);
  for (const char *bad : {"zr-dhcp-table 2 pid=42\n", "zr-dhcp-table 1 pid=\n",
                          "zr-dhcp-table 1 pid=1\nadapter index=1 interface=a serial=%4 state=gone\n",
                          "zr-dhcp-table 1 pid=1\nadapter index=1 interface=a state=lost\n",
                          "zr-dhcp-table 1 pid=1\nadapter index=0 interface=a state=gone\n",
                          "zr-dhcp-table 1 pid=1\nadapter index=2147483648 interface=a state=gone\n",
                          "zr-dhcp-table 1 pid=1\nadapter index=1 interface=a usb-port=1/2 state=gone\n",
                          "zr-dhcp-table 1 pid=1\nadapter index=1 interface=a usb-port=1-\x7f state=gone\n",
                          "zr-dhcp-table 1 pid=1\nadapter interface=a state=gone\n"})
    EXPECT_FALSE(parse_table(bad, &pid, &back, &why)) << bad;
}

#ifndef _WIN32
// The table is read on every listing, the store by a service that runs for months: each
// read gives its descriptor back, whatever it found.
TEST(DhcpFiles, ReadsGiveTheirDescriptorBack) {
  zrtest::TempDir dir("zr-dhcp-files");
  const std::string file = dir / "table";
  ASSERT_EQ(write_file_atomically(file, "text"), 0);
  const int lowest = dup(0);  // the lowest free descriptor
  close(lowest);
  std::string text;
  EXPECT_EQ(read_regular_file(file, &text), 0);
  EXPECT_EQ(text, "text");
  EXPECT_EQ(read_regular_file(dir.path(), &text), EINVAL);
  EXPECT_EQ(read_text_file(file, &text), 0);
  const int after = dup(0);
  close(after);
  EXPECT_EQ(after, lowest);
  // With standard input closed, the file read gets descriptor 0, like any other.
  zrtest::StandardInputClosed no_input;
  std::string on_zero, text_on_zero;
  const int read_zero = read_regular_file(file, &on_zero), text_zero = read_text_file(file, &text_on_zero);
  no_input.restore();
  EXPECT_EQ(read_zero, 0);
  EXPECT_EQ(on_zero, "text");
  EXPECT_EQ(text_zero, 0);
  EXPECT_EQ(text_on_zero, "text");
}

// An adapter's index as its folder under /sys tells it: a number the kernel can give (1 to
// 2147483647), for a name that stays inside class/net.
TEST(DhcpSysfs, AnAdaptersIndexIsANumberTheKernelCanGive) {
  zrtest::TempDir sys("zr-dhcp-sysfs");
  const std::vector<std::pair<std::string, int>> cases = {
      {"1", 1}, {"2147483647", 2147483647}, {"2147483648", -1}, {"-1", -1}, {"x", -1}};
  for (const auto &c : cases) {
    zrtest::WriteFile(sys / "class/net/a/ifindex", c.first + "\n");
    EXPECT_EQ(adapter_index(sys.path(), "a"), c.second) << c.first;
  }
  zrtest::WriteFile(sys / "class/ifindex", "3\n");
  for (const char *name : {"", "..", "a/../..", "."}) EXPECT_EQ(adapter_index(sys.path(), name), -1) << name;
}
#endif

// A Windows adapter's friendly name holds spaces: it stays one word, and reads back whole.
TEST(DhcpTable, AnInterfaceNameWithSpacesIsOneWord) {
  std::vector<TableRow> rows(1);
  rows[0].index = 12;
  rows[0].interface = "Ethernet 2 #%";
  const std::string text = table_text(7, rows);
  EXPECT_EQ(text, "zr-dhcp-table 1 pid=7\nadapter index=12 interface=Ethernet%202%20%23%25 state=waiting\n");
  long pid = 0;
  std::vector<TableRow> back;
  std::string why;
  ASSERT_TRUE(parse_table(text, &pid, &back, &why)) << why;
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].interface, rows[0].interface);
  EXPECT_FALSE(parse_table("zr-dhcp-table 1 pid=7\nadapter index=1 interface=a%2Fb state=gone\n", &pid, &back, &why))
      << "a name that is a path";
}

// ---- answers on one link -------------------------------------------------------------

class DhcpAnswers : public ::testing::Test {
 protected:
  DhcpAnswers() {
    pool.subnet = 1;  // 172.16.0.4/30: the computer .5, the handheld .6
    pool.lease = 120;
  }
  Answer ask(const Message &m, int64_t now = 1000) {
    Request r;
    std::string why;
    EXPECT_TRUE(parse_request(m.bytes().data(), m.bytes().size(), &r, &why)) << why;
    return answer(r, &pool, now);
  }
  Pool pool;
};

TEST_F(DhcpAnswers, DiscoverIsOfferedTheHandheldsAddressByBroadcast) {
  Answer a = ask(Message(kDiscover).option32(50, 0x0A000001u));
  ASSERT_TRUE(a.send);
  EXPECT_EQ(a.reply.type, kOffer);
  EXPECT_EQ(a.reply.yiaddr, 0xAC100006u) << "whatever the client asked for";
  EXPECT_EQ(a.reply.server_id, 0xAC100005u);
  EXPECT_EQ(a.reply.mask, 0xFFFFFFFCu);
  EXPECT_EQ(a.reply.lease, 120u);
  EXPECT_EQ(a.to, 0xFFFFFFFFu);
}

TEST_F(DhcpAnswers, RequestsInEveryStateAreAckedOrNakedAsTheyDeserve) {
  // Selecting: ours, another server's, ours for a foreign address.
  Answer a = ask(Message(kRequest).option32(54, 0xAC100005u).option32(50, 0xAC100006u));
  ASSERT_TRUE(a.send);
  EXPECT_EQ(a.reply.type, kAck);
  EXPECT_EQ(a.reply.yiaddr, 0xAC100006u);
  EXPECT_NE(a.log.find("lease 172.16.0.6"), std::string::npos);
  EXPECT_FALSE(ask(Message(kRequest).option32(54, 0xAC100009u).option32(50, 0xAC100006u)).send);
  a = ask(Message(kRequest).option32(54, 0xAC100005u).option32(50, 0xAC10000Au));
  EXPECT_EQ(a.reply.type, kNak);

  // Init-reboot: the right address, a foreign one.
  a = ask(Message(kRequest).option32(50, 0xAC100006u));
  EXPECT_EQ(a.reply.type, kAck);
  EXPECT_EQ(a.to, 0xFFFFFFFFu);
  a = ask(Message(kRequest).option32(50, 0xC0A80002u));
  ASSERT_TRUE(a.send);
  EXPECT_EQ(a.reply.type, kNak);
  EXPECT_EQ(a.reply.yiaddr, 0u);
  EXPECT_EQ(a.to, 0xFFFFFFFFu);
  EXPECT_NE(a.log.find("192.168.0.2"), std::string::npos);

  // Renewing (unicast to the client's address) and a renewal of a foreign address.
  a = ask(Message(kRequest).ciaddr(0xAC100006u));
  EXPECT_EQ(a.reply.type, kAck);
  EXPECT_EQ(a.to, 0xAC100006u);
  EXPECT_EQ(ask(Message(kRequest).ciaddr(0xAC100002u)).reply.type, kNak);
  // Rebinding with the broadcast flag is answered by broadcast.
  EXPECT_EQ(ask(Message(kRequest).ciaddr(0xAC100006u).flags(0x8000)).to, 0xFFFFFFFFu);

  // Neither: no answer.
  a = ask(Message(kRequest));
  EXPECT_FALSE(a.send);
  EXPECT_FALSE(a.log.empty());
}

// The lease the table shows: from the ACK for the lease time, until a RELEASE or DECLINE.
TEST_F(DhcpAnswers, AnAckLeasesTheAddressUntilItRunsOutOrIsGivenBack) {
  ask(Message(kRequest).option32(54, 0xAC100005u).option32(50, 0xAC100006u), 1000);
  EXPECT_EQ(pool.leased_until_ms, 1000 + 120 * 1000);
  ask(Message(kRelease).ciaddr(0xAC100006u).option32(54, 0xAC100005u), 2000);
  EXPECT_EQ(pool.leased_until_ms, 0);
  ask(Message(kRequest).ciaddr(0xAC100006u), 3000);
  ask(Message(kDecline).option32(54, 0xAC100005u).option32(50, 0xAC100006u), 4000);
  EXPECT_EQ(pool.leased_until_ms, 0);
  pool.lease = 0xFFFFFFFFu;
  ask(Message(kRequest).ciaddr(0xAC100006u), 5000);
  EXPECT_EQ(pool.leased_until_ms, INT64_MAX) << "forever";
}

TEST_F(DhcpAnswers, DeclineWithholdsTheAddressForTenSeconds) {
  Answer a = ask(Message(kDecline).option32(54, 0xAC100005u).option32(50, 0xAC100006u), 1000);
  EXPECT_FALSE(a.send);
  EXPECT_NE(a.log.find("declined"), std::string::npos);
  EXPECT_FALSE(ask(Message(kDiscover), 1000 + 9999).send);
  EXPECT_TRUE(ask(Message(kDiscover), 1000 + 10000).send);
  // Another server's decline, or one for another address, changes nothing.
  ask(Message(kDecline).option32(54, 0xAC100001u).option32(50, 0xAC100006u), 50000);
  ask(Message(kDecline).option32(54, 0xAC100005u).option32(50, 0xAC100002u), 50000);
  EXPECT_TRUE(ask(Message(kDiscover), 50001).send);
}

TEST_F(DhcpAnswers, ReleaseAndInform) {
  Answer a = ask(Message(kRelease).ciaddr(0xAC100006u).option32(54, 0xAC100005u));
  EXPECT_FALSE(a.send);
  EXPECT_NE(a.log.find("released 172.16.0.6"), std::string::npos);
  a = ask(Message(kRelease).ciaddr(0xAC100002u).option32(54, 0xAC100005u));
  EXPECT_NE(a.log.find("ignored"), std::string::npos);

  a = ask(Message(kInform).ciaddr(0xAC100006u));
  ASSERT_TRUE(a.send);
  EXPECT_EQ(a.reply.type, kAck);
  EXPECT_EQ(a.reply.yiaddr, 0u);
  EXPECT_EQ(a.reply.lease, 0u) << "no lease time in the answer to INFORM";
  EXPECT_EQ(a.reply.mask, 0xFFFFFFFCu);
  EXPECT_EQ(a.to, 0xAC100006u);
  EXPECT_FALSE(ask(Message(kInform)).send);

  // A server's message types from a client are not answered.
  for (int t : {int(kOffer), int(kAck), int(kNak), 9, 200})
    EXPECT_FALSE(ask(Message(static_cast<uint8_t>(t))).send) << t;
  EXPECT_STREQ(message_type_name(kInform), "INFORM");
  EXPECT_STREQ(message_type_name(9), "unknown");
}

}  // namespace
}  // namespace zrdhcp
