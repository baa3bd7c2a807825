// The real KQCoInstaller program as a process, without a display: exit statuses, the box texts
// on standard error, and hostile command lines.
#include <gtest/gtest.h>

#include "flow_support.h"
#include "messages.h"

namespace kqco {
namespace {

using namespace kqco::testing;

class Program : public ::testing::Test {
 protected:
  Program() {
    // The program beside its driver package, as it is shipped.
    std::filesystem::copy_file(ProgramPath(), sys.media() + "/KQCoInstaller");
    WriteFile(sys.media() + "/kq.inf", PackageInf(kHwid));
  }
  ProgramResult Run(const std::vector<std::string>& args, std::map<std::string, std::string> env = {}) {
    env.emplace("KQCO_SYSTEM_ROOT", sys.root());
    env.emplace("KQCO_SYSFS_USB_DEVICES", sys.sysfs());
    return RunProgram(args, env, sys.media() + "/KQCoInstaller");
  }
  SystemRoot sys;
};

TEST_F(Program, CheckFailuresShowTheirBoxOnStandardError) {
  auto r = Run({"-n", "-u"});
  EXPECT_EQ(r.status, ExitStatus(kExitSwitchConflict));
  EXPECT_EQ(r.errorOutput, "ERROR: Cannot use both the switches in single command\n");
  r = Run({"-n", "USB\\VID_4407&PID_7705"});
  EXPECT_EQ(r.status, ExitStatus(kExitInstallArguments));
  EXPECT_EQ(r.errorOutput,
            "ERROR: Invalid Command Line Arguments For Installation \n"
            " USAGE: kqcoinstaller -n \"xxxx.inf\" \"USB\\VID_4407&PID_7705\"\n");
  r = Run({"-u"});
  EXPECT_EQ(r.status, ExitStatus(kExitUninstallArguments));
  EXPECT_EQ(r.errorOutput,
            "ERROR: Invalid Command Line Arguments For Un-Installation \n"
            " USAGE: kqcoinstaller -u \"USB\\VID_4407&PID_7705\"\n");
  r = Run({"-i"});
  EXPECT_EQ(r.status, ExitStatus(kExitNoSwitch));
  EXPECT_EQ(r.errorOutput, "ERROR: Incorrect Switch Used\n");
}

TEST_F(Program, SilentRunsWriteNothing) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"-n", "-u", "-s"}, {"-S"}, {"-n", "-s"}, {"-r", "-s"}, {"-u", "-s", kHwid}}) {
    const auto r = Run(args);
    EXPECT_EQ(r.errorOutput, "") << args[0];
    EXPECT_NE(r.status, 0);
  }
}

TEST_F(Program, InstallSucceedsWithoutMainWindow) {
  const auto r = Run({"-n", "kq.inf", kHwid}, {{"DISPLAY", ":250"}});  // a display that is not there
  EXPECT_EQ(r.status, kExitNoMainWindow);
  EXPECT_EQ(r.errorOutput, "");
  EXPECT_EQ(sys.StoreFiles(), (std::vector<std::string>{"oem0.PNF", "oem0.inf"}));
  EXPECT_EQ(Run({"-n", "missing.inf", kHwid}).status, ExitStatus(kExitCopyInfFailed));
}

TEST_F(Program, NamesAreFoundIgnoringCaseAsWindowsFindsThem) {
  // The INF name is lower-cased from the command line; the file beside the program has capitals.
  std::filesystem::remove(sys.media() + "/kq.inf");
  WriteFile(sys.media() + "/Drv.INF", PackageInf(kHwid));
  const auto r = Run({"-n", "Drv.INF", kHwid}, {{"DISPLAY", ":250"}});
  EXPECT_EQ(r.status, kExitNoMainWindow);
  ASSERT_EQ(sys.StoreFiles(), (std::vector<std::string>{"oem0.PNF", "oem0.inf"}));
  EXPECT_EQ(ReadFile(sys.InfStore() + "/oem0.inf"), ReadFile(sys.media() + "/Drv.INF"));
  // A copy whose precompiled file is spelled in lower case loses both on uninstall.
  std::filesystem::rename(sys.InfStore() + "/oem0.PNF", sys.InfStore() + "/oem0.pnf");
  EXPECT_EQ(Run({"-r", "-s", kHwid}).status, ExitStatus(kExitNoMatchingDevice));
  EXPECT_TRUE(sys.StoreFiles().empty());
}

TEST_F(Program, UninstallCodes) {
  auto r = Run({"-u", kHwid});
  EXPECT_EQ(r.status, ExitStatus(kExitNoMatchingDevice));
  sys.SetDatabase(HandheldLine("1", true));
  EXPECT_EQ(Run({"-u", "-s", kHwid}).status, ExitStatus(kExitPluggedInSilent));
  // No display for the prompt: stops as a silent run would, after writing the prompt.
  r = Run({"-u", kHwid});
  EXPECT_EQ(r.status, ExitStatus(kExitPluggedInSilent));
  EXPECT_EQ(r.errorOutput,
            "Driver UnInstallation: Please Un-Plug the Orvane Device to Continue with the UnInstallation\n");
  EXPECT_EQ(sys.DatabaseText(), HandheldLine("1", true));
  r = Run({"-r", kHwid});
  EXPECT_EQ(r.status, kExitNoMainWindow);
  EXPECT_EQ(r.errorOutput, "UnInstallation Done: Drivers For Orvane Device Have Been Successfully UnInstalled\n");
  EXPECT_EQ(sys.DatabaseText(), "");
}

TEST_F(Program, ProgramPathThatDoesNotFitEndsWithMinus4) {
  const auto r = RunProgram({"-n", "kq.inf", kHwid}, {{"KQCO_SYSTEM_ROOT", sys.root()}},
                            "/" + std::string(300, 'd') + "/KQCoInstaller");
  EXPECT_EQ(r.status, ExitStatus(kExitNoMediaRoot));
  EXPECT_EQ(r.errorOutput, "");
  EXPECT_TRUE(sys.StoreFiles().empty());
}

TEST_F(Program, BareProgramNameUsesTheCurrentFolder) {
  // Started as "kqcoinstaller" from the media folder: the INF is found there.
  const auto r =
      RunProgram({"-n", "kq.inf", kHwid}, {{"KQCO_SYSTEM_ROOT", sys.root()}, {"KQCO_SYSFS_USB_DEVICES", sys.sysfs()}},
                 "kqcoinstaller", 10000, sys.media());
  EXPECT_EQ(r.status, kExitNoMainWindow);
  EXPECT_EQ(sys.StoreFiles().size(), 2u);
}

TEST_F(Program, HostileCommandLines) {
  std::vector<std::string> many(20000, "-x");
  many.push_back("-n");
  EXPECT_EQ(Run(many).status, ExitStatus(kExitNoSwitch));  // the -n lies far beyond what is read

  std::vector<std::string> junk;
  std::string bytes;
  for (int i = 1; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  junk.push_back("-u");
  junk.push_back("\xC3\x28USB\\VID_4407\xFF\xFE");
  junk.push_back(bytes);
  auto r = Run(junk);
  EXPECT_EQ(r.status, ExitStatus(kExitNoMatchingDevice));

  r = Run({"-n", kHwid, std::string(120000, 'A') + ".inf"});  // near the kernel's limit for one argument
  EXPECT_EQ(r.status, ExitStatus(kExitInstallArguments));

  // An INF name that fits on its own but not behind the installer's folder.
  r = Run({"-n", "USB\\VID_4407", std::string(236, 'z') + ".inf"});
  EXPECT_EQ(r.status, ExitStatus(kExitCopyInfFailed));
  EXPECT_TRUE(sys.StoreFiles().empty());

  r = Run({"-n", "../../../../../../../../etc/passwd.inf", kHwid});
  EXPECT_EQ(r.status, ExitStatus(kExitCopyInfFailed));
  r = Run({"-n", "-s", "\"\"\"", "\"", "\x01\x02.inf", "VID_"});
  EXPECT_EQ(r.status, ExitStatus(kExitCopyInfFailed));
}

TEST_F(Program, MalformedDatabaseAndStoreGiveClearCodes) {
  sys.SetDatabase(std::string("\x00\x01\x02 garbage\n\t\t\t\n\xFF\xFE\n", 20) + std::string(100000, '\t') + "\n" +
                  "USB\\VID_4407&PID_7705\\1\tmaybe\tUSB\\VID_4407&PID_7705\n");
  std::string huge = "[RNDIS.NT]\nCharacteristics=1\n[KQDevices.NT.5.1]\n%KQDevice%=" + std::string(kHwid) + "\n";
  huge.resize(20u << 20, 'x');
  WriteFile(sys.InfStore() + "/oem0.inf", huge);
  WriteFile(sys.InfStore() + "/oem1.inf", std::string(100000, '['));
  const auto r = Run({"-u", kHwid});
  EXPECT_EQ(r.status, ExitStatus(kExitNoMatchingDevice));
  EXPECT_EQ(sys.StoreFiles(), (std::vector<std::string>{"oem0.inf", "oem1.inf"}));
}

TEST_F(Program, DefaultSystemRootIsDocumented) {
  const auto options = linux_platform::LinuxSystemOptions::FromEnvironment();
  if (std::getenv("KQCO_SYSTEM_ROOT") == nullptr) {
    EXPECT_EQ(options.systemRoot, "/var/lib/kqcoinstaller");
  }
  if (std::getenv("KQCO_SYSFS_USB_DEVICES") == nullptr) {
    EXPECT_EQ(options.sysfsUsbDevices, "/sys/bus/usb/devices");
  }
}

}  // namespace
}  // namespace kqco
