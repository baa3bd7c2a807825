// The Linux device-installation layer: device database, sysfs presence, INF store, file services
// and the confinement of every write and delete to the system root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/linux/device_db.h"
#include "platform/linux/sysfs_usb.h"
#include "test_support.h"
#include "uninstall_flow.h"

namespace kqco {
namespace {

using testing::Exists;
using testing::ReadFile;
using testing::SystemRoot;
using testing::W;
using testing::WriteFile;

struct Listed {
  std::wstring ids;
  PropertyRead read;
};

std::vector<Listed> List(DeviceInstallServices& s, bool presentOnly) {
  std::vector<Listed> out;
  auto list = s.GetClassDevs(presentOnly);
  if (!list) return out;
  for (unsigned i = 0; list->EnumDevice(i); ++i) {
    Listed l;
    l.read = list->HardwareIds(i, l.ids);
    out.push_back(l);
  }
  return out;
}

TEST(DeviceDatabase, LineFormat) {
  using linux_platform::ParseDeviceLine;
  auto e = ParseDeviceLine("USB\\VID_4407&PID_7705\\1\t1\tUSB\\VID_4407&PID_7705&REV_0100\tUSB\\VID_4407&PID_7705");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->instance, L"USB\\VID_4407&PID_7705\\1");
  EXPECT_TRUE(e->present);
  EXPECT_EQ(e->hardwareIds, std::wstring(L"USB\\VID_4407&PID_7705&REV_0100\0USB\\VID_4407&PID_7705\0\0", 54));
  e = ParseDeviceLine("ROOT\\X\t0");
  ASSERT_TRUE(e);
  EXPECT_TRUE(e->hardwareIds.empty());
  // Comments and malformed lines are no device entries.
  for (const char* bad : {"", "# c", "ROOT\\X", "ROOT\\X\tyes\tID", "\t1\tID", "ROOT\\X\t1\tI\x01D", "A\t1\x7f"}) {
    EXPECT_FALSE(ParseDeviceLine(bad)) << bad;
  }
  // A hardware-ID list beyond the limit cannot be read.
  e = ParseDeviceLine("ROOT\\X\t1\t" + std::string(linux_platform::kMaxHardwareIdChars + 1, 'A'));
  ASSERT_TRUE(e);
  EXPECT_TRUE(e->hardwareIdsTooLong);
}

TEST(DeviceDatabase, PresenceFromFlagAndFromAttachedUsb) {
  SystemRoot sys;
  sys.SetDatabase(
      "# devices\n"
      "USB\\VID_4407&PID_7705\\A\t0\tUSB\\VID_4407&PID_7705&REV_0100\n"
      "ROOT\\NET\\0000\t1\tROOT\\NET\n"
      "garbage line without tabs\n"
      "ROOT\\NOID\t1\n");
  EXPECT_EQ(List(sys.services(), false).size(), 3u);
  auto present = List(sys.services(), true);
  ASSERT_EQ(present.size(), 2u);
  EXPECT_EQ(present[1].read, PropertyRead::kNoData);
  EXPECT_FALSE(IsDevicePresent(sys.services(), L"USB\\VID_4407&PID_7705"));

  sys.PlugUsb("1-1", "4407", "7705", "0100", "SER1");
  EXPECT_TRUE(IsDevicePresent(sys.services(), L"USB\\VID_4407&PID_7705"));
  // The attached device has no entry of its own name, so it is listed beside the database entry.
  present = List(sys.services(), true);
  ASSERT_EQ(present.size(), 4u);
  EXPECT_EQ(present[3].ids, std::wstring(L"USB\\VID_4407&PID_7705&REV_0100\0USB\\VID_4407&PID_7705\0\0", 54));

  sys.UnplugUsb("1-1");
  sys.PlugUsb("1-2", "4407", "7706");
  EXPECT_FALSE(IsDevicePresent(sys.services(), L"USB\\VID_4407&PID_7705"));
}

TEST(DeviceDatabase, UnreadableDatabaseListsNothing) {
  SystemRoot sys;
  std::filesystem::create_directories(sys.Database());  // a folder where the file should be
  EXPECT_EQ(sys.services().GetClassDevs(false), nullptr);
  EXPECT_FALSE(RemoveMatchingDevices(sys.services(), L"USB\\VID_4407"));
}

TEST(DeviceDatabase, HugeDatabaseIsRefused) {
  SystemRoot sys;
  {
    std::string line = "USB\\VID_4407&PID_7705\\A\t1\tUSB\\VID_4407&PID_7705\n";
    std::string big;
    while (big.size() <= linux_platform::kMaxDatabaseBytes) big += line;
    sys.SetDatabase(big);
  }
  EXPECT_EQ(sys.services().GetClassDevs(true), nullptr);
  EXPECT_FALSE(IsDevicePresent(sys.services(), L"USB\\VID_4407&PID_7705"));
}

TEST(DeviceDatabase, RemovingAnEntryKeepsEveryOtherLine) {
  SystemRoot sys;
  const std::string others = "# keep me\nnot a device\nROOT\\NET\\0000\t1\tROOT\\NET\n";
  sys.SetDatabase(others + "usb\\vid_4407&pid_7705\\a\t1\tUSB\\VID_4407&PID_7705\n");
  EXPECT_TRUE(RemoveMatchingDevices(sys.services(), L"USB\\VID_4407&PID_7705"));
  EXPECT_EQ(sys.DatabaseText(), others);
  EXPECT_FALSE(RemoveMatchingDevices(sys.services(), L"USB\\VID_4407&PID_7705"));
}

TEST(DeviceDatabase, AttachedDeviceWithoutEntryMatchesButCannotBeRemoved) {
  SystemRoot sys;
  sys.PlugUsb("3-1", "4407", "7705");
  auto list = sys.services().GetClassDevs(false);
  ASSERT_TRUE(list && list->EnumDevice(0));
  EXPECT_FALSE(list->RemoveDevice(0));
  EXPECT_TRUE(RemoveMatchingDevices(sys.services(), L"USB\\VID_4407&PID_7705"));  // matched all the same
  EXPECT_TRUE(Exists(sys.sysfs() + "/3-1/idVendor"));
}

TEST(DeviceDatabase, ReenumerationRecordsAttachedDevicesOnce) {
  SystemRoot sys;
  sys.SetDatabase("ROOT\\NET\\0000\t1\tROOT\\NET");  // no final line end
  sys.PlugUsb("1-4", "4407", "7705", "0201", "ABC123");
  sys.PlugUsb("1-4:1.0", "", "");  // an interface folder: not a device
  ASSERT_TRUE(sys.services().ReenumerateDeviceTree());
  ASSERT_TRUE(sys.services().ReenumerateDeviceTree());
  EXPECT_EQ(sys.DatabaseText(),
            "ROOT\\NET\\0000\t1\tROOT\\NET\n"
            "USB\\VID_4407&PID_7705\\ABC123\t0\tUSB\\VID_4407&PID_7705&REV_0201\tUSB\\VID_4407&PID_7705\n");
  // The recorded entry is present while the device is attached, and stays known after.
  EXPECT_TRUE(IsDevicePresent(sys.services(), L"USB\\VID_4407&PID_7705&REV_0201"));
  sys.UnplugUsb("1-4");
  EXPECT_FALSE(IsDevicePresent(sys.services(), L"USB\\VID_4407&PID_7705"));
  EXPECT_TRUE(RemoveMatchingDevices(sys.services(), L"USB\\VID_4407&PID_7705"));
}

TEST(DeviceDatabase, RealSysfsIsReadWithoutTrouble) {
  for (const auto& dev : linux_platform::ReadUsbDevices("/sys/bus/usb/devices")) {
    EXPECT_FALSE(dev.HardwareIds().empty());
    EXPECT_EQ(dev.InstanceName().rfind(L"USB\\VID_", 0), 0u);
  }
}

TEST(UsbIds, VidPidPrefix) {
  using linux_platform::ParseUsbVidPid;
  EXPECT_EQ(ParseUsbVidPid(L"usb\\vid_4407&pid_7705&rev_0100"), std::make_pair(0x4407u, 0x7705u));
  EXPECT_EQ(ParseUsbVidPid(L"USB\\VID_ABCD&PID_00ef\\serial"), std::make_pair(0xABCDu, 0xEFu));
  EXPECT_EQ(ParseUsbVidPid(L"USB\\VID_4407&PID_77051"), std::nullopt);
  EXPECT_EQ(ParseUsbVidPid(L"USB\\VID_44G7&PID_7705"), std::nullopt);
  EXPECT_EQ(ParseUsbVidPid(L"USB\\VID_4407"), std::nullopt);
  EXPECT_EQ(ParseUsbVidPid(L"PCI\\VEN_8086&DEV_1234"), std::nullopt);
}

TEST(InfStore, CopiesAsNextFreeOemInfWithPnf) {
  SystemRoot sys;
  const std::string a = sys.media() + "/a.inf", b = sys.media() + "/b.inf";
  WriteFile(a, testing::PackageInf("USB\\VID_4407&PID_7705"));
  WriteFile(b, testing::PackageInf("USB\\VID_4407&PID_7706"));
  WriteFile(sys.InfStore() + "/oem0.inf", "someone else's");
  ASSERT_TRUE(sys.services().CopyOemInf(W(a)));
  ASSERT_TRUE(sys.services().CopyOemInf(W(b)));
  EXPECT_EQ(sys.StoreFiles(), (std::vector<std::string>{"oem0.inf", "oem1.PNF", "oem1.inf", "oem2.PNF", "oem2.inf"}));
  EXPECT_EQ(ReadFile(sys.InfStore() + "/oem1.inf"), ReadFile(a));
  EXPECT_NE(ReadFile(sys.InfStore() + "/oem2.PNF")->find("%KQDevice%=RNDIS.NT.5.1, USB\\VID_4407&PID_7706"),
            std::string::npos);
  // The same package again reuses its copy.
  ASSERT_TRUE(sys.services().CopyOemInf(W(a)));
  EXPECT_EQ(sys.StoreFiles().size(), 5u);
}

TEST(InfStore, RefusesWhatIsNoInf) {
  SystemRoot sys;
  const std::string dir = sys.media();
  WriteFile(dir + "/plain.txt", "[Strings]\nx=1\n");
  WriteFile(dir + "/binary.inf", std::string("\x7f"
                                             "ELF\0\0\x01\x02",
                                             8));
  WriteFile(dir + "/nosig.inf", "[Version]\nClass=Net\n");
  EXPECT_FALSE(sys.services().CopyOemInf(W(dir + "/plain.txt")));
  EXPECT_FALSE(sys.services().CopyOemInf(W(dir + "/binary.inf")));
  EXPECT_FALSE(sys.services().CopyOemInf(W(dir + "/nosig.inf")));
  EXPECT_FALSE(sys.services().CopyOemInf(W(dir + "/missing.inf")));
  EXPECT_FALSE(sys.services().CopyOemInf(W(dir)));  // a folder
  {
    std::string huge = testing::PackageInf("USB\\VID_4407&PID_7705");
    huge.resize(linux_platform::kMaxInfBytes + 1, ';');
    WriteFile(dir + "/huge.inf", huge);
  }
  EXPECT_FALSE(sys.services().CopyOemInf(W(dir + "/huge.inf")));
  EXPECT_TRUE(sys.StoreFiles().empty());
}

TEST(FileServices, FindFilesMatchesThePatternIgnoringCase) {
  SystemRoot sys;
  for (const char* n : {"oem1.inf", "OEM22.INF", "oem.inf", "oem3.info", "xoem4.inf", "oem5.PNF"}) {
    WriteFile(sys.InfStore() + "/" + n, "");
  }
  EXPECT_EQ(sys.services().FindFiles(W(sys.InfStore() + "/oem*.inf")),
            (std::vector<std::wstring>{L"OEM22.INF", L"oem.inf", L"oem1.inf"}));
  EXPECT_TRUE(sys.services().FindFiles(W(sys.root() + "/missing/oem*.inf")).empty());
}

TEST(FileServices, LastWriteTimeInFileTimeUnits) {
  SystemRoot sys;
  const std::string f = sys.media() + "/usb8023y.sys";
  WriteFile(f, "x");
  testing::SetMtime(f, 1000000000);
  EXPECT_EQ(sys.services().LastWriteTime(W(f)), (1000000000ull + 11644473600ull) * 10000000ull);
  EXPECT_EQ(sys.services().LastWriteTime(W(sys.media())), std::nullopt);  // a folder
  EXPECT_EQ(sys.services().LastWriteTime(W(sys.media() + "/none")), std::nullopt);
}

TEST(Confinement, NothingOutsideTheRootIsDeleted) {
  SystemRoot sys;
  testing::TempDir outside;
  WriteFile(outside / "usb8023y.sys", "precious");
  WriteFile(outside / "rndismpy.sys", "precious");
  std::filesystem::create_directories(sys.root() + "/Windows/System32");
  // The drivers folder is a link that leads out of the root.
  std::filesystem::create_directory_symlink(outside.path(), sys.Drivers());
  DeleteDriverFiles(sys.services());
  EXPECT_TRUE(Exists(outside / "usb8023y.sys"));
  EXPECT_TRUE(Exists(outside / "rndismpy.sys"));
  EXPECT_FALSE(sys.services().RemoveFile(W(outside / "usb8023y.sys")));
  EXPECT_FALSE(sys.services().RemoveFile(W(sys.root() + "/../media/x")));
  // A link inside the root is removed itself, not what it leads to.
  std::filesystem::create_symlink(outside / "usb8023y.sys", sys.root() + "/link.sys");
  EXPECT_TRUE(sys.services().RemoveFile(W(sys.root() + "/link.sys")));
  EXPECT_TRUE(Exists(outside / "usb8023y.sys"));
}

TEST(Confinement, NothingOutsideTheRootIsWritten) {
  SystemRoot sys;
  testing::TempDir outside;
  std::filesystem::create_directories(sys.root() + "/Windows");
  std::filesystem::create_directory_symlink(outside.path(), sys.InfStore());
  WriteFile(sys.media() + "/kq.inf", testing::PackageInf("USB\\VID_4407&PID_7705"));
  EXPECT_FALSE(sys.services().CopyOemInf(W(sys.media() + "/kq.inf")));
  EXPECT_TRUE(std::filesystem::is_empty(outside.path()));

  // The device database itself a link to a file outside: rewriting replaces the link.
  WriteFile(outside / "db", "USB\\VID_4407&PID_7705\\A\t1\tUSB\\VID_4407&PID_7705\n");
  std::filesystem::create_symlink(outside / "db", sys.Database());
  EXPECT_TRUE(RemoveMatchingDevices(sys.services(), L"USB\\VID_4407&PID_7705"));
  EXPECT_EQ(ReadFile(outside / "db"), "USB\\VID_4407&PID_7705\\A\t1\tUSB\\VID_4407&PID_7705\n");
}

TEST(Confinement, MissingRootParentIsNotCreated) {
  testing::TempDir dir;
  linux_platform::LinuxDeviceInstallServices s({dir / "a/b/root", dir / "sys"});
  WriteFile(dir / "kq.inf", testing::PackageInf("USB\\VID_4407&PID_7705"));
  EXPECT_FALSE(s.CopyOemInf(W(dir / "kq.inf")));
  EXPECT_FALSE(Exists(dir / "a"));
}

}  // namespace
}  // namespace kqco
