// Switch detection, the argument parse and the media root directory.
#include <gtest/gtest.h>

#include "command_line.h"
#include "test_support.h"

namespace kqco {
namespace {

using testing::W;

TEST(HasSwitch, MatchesTokenStartIgnoringCase) {
  EXPECT_TRUE(HasSwitch(L"-n drv.inf", L"-n"));
  EXPECT_TRUE(HasSwitch(L"-N drv.inf", L"-n"));
  EXPECT_TRUE(HasSwitch(L"x -nothing", L"-n"));  // any longer token beginning with the switch
  EXPECT_TRUE(HasSwitch(L"a\t-u\r\n", L"-u"));
  EXPECT_TRUE(HasSwitch(L"a\f-s", L"-s"));
  EXPECT_FALSE(HasSwitch(L"x-n", L"-n"));  // not at the start of the token
  EXPECT_FALSE(HasSwitch(L"-", L"-n"));
  EXPECT_FALSE(HasSwitch(L"", L"-n"));
  EXPECT_FALSE(HasSwitch(L"--n", L"-n"));
  EXPECT_FALSE(HasSwitch(L"/n", L"-n"));
}

TEST(HasSwitch, LooksAtTheFirst259CharactersOnly) {
  const std::wstring pad(256, L'x');
  EXPECT_TRUE(HasSwitch(pad + L" -n", L"-n"));    // -n ends at character 259
  EXPECT_FALSE(HasSwitch(pad + L"  -n", L"-n"));  // only "-" is inside the window
  EXPECT_FALSE(HasSwitch(pad + L"   -n", L"-n"));
}

TEST(HasSwitch, StopsAtAnEmbeddedNul) { EXPECT_FALSE(HasSwitch(std::wstring(L"a\0-n", 4), L"-n")); }

TEST(ParseInstallArguments, QuotedMixedCaseArguments) {
  const auto args = ParseInstallArguments(L"-N \"Drv.INF\" usb\\vid_4407&pid_7705");
  EXPECT_EQ(args.infFileName, L"drv.inf");
  EXPECT_EQ(args.hardwareId, L"USB\\VID_4407&PID_7705");
}

TEST(ParseInstallArguments, LaterTokensReplaceEarlierOnes) {
  const auto args = ParseInstallArguments(L"a.inf USB\\VID_1 b.INF USB\\VID_2");
  EXPECT_EQ(args.infFileName, L"b.inf");
  EXPECT_EQ(args.hardwareId, L"USB\\VID_2");
}

TEST(ParseInstallArguments, TokensAreCutAtSpacesOnly) {
  // A quoted name with a space in it is cut in two; tabs stay inside a token.
  auto args = ParseInstallArguments(L"\"my drv.inf\" -n");
  EXPECT_EQ(args.infFileName, L"drv.inf");
  args = ParseInstallArguments(L"-n\tdrv.inf");
  EXPECT_EQ(args.infFileName, L"-n\tdrv.inf");
}

TEST(ParseInstallArguments, InfTokenIsNeverAHardwareId) {
  const auto args = ParseInstallArguments(L"USB\\VID_4407.inf");
  EXPECT_EQ(args.infFileName, L"usb\\vid_4407.inf");
  EXPECT_EQ(args.hardwareId, L"");
}

TEST(ParseInstallArguments, IgnoresOtherTokensAndEmptyInput) {
  EXPECT_EQ(ParseInstallArguments(L"-n -s -i").infFileName, L"");
  EXPECT_EQ(ParseInstallArguments(L"-n -s -i").hardwareId, L"");
  EXPECT_EQ(ParseInstallArguments(L"").hardwareId, L"");
  EXPECT_EQ(ParseInstallArguments(L"\"\"\"").hardwareId, L"");
}

TEST(ParseInstallArguments, OnlyTheFirst259CharactersCount) {
  const std::wstring pad(250, L'x');
  EXPECT_EQ(ParseInstallArguments(pad + L" USB\\VID_4407").hardwareId, L"USB\\VID_");
  EXPECT_EQ(ParseInstallArguments(pad + L" USB\\VID_4407").infFileName, L"");
  EXPECT_EQ(ParseInstallArguments(pad + L"  USB\\VID_4").hardwareId, L"");
}

TEST(MediaRootDirectory, DirectoryOfTheProgramWithTrailingSeparator) {
  testing::SystemRoot sys;
  EXPECT_EQ(MediaRootDirectory(sys.services(), {L"/opt/kq/bin/KQCoInstaller"}), L"/opt/kq/bin/");
  EXPECT_EQ(MediaRootDirectory(sys.services(), {L"/opt/kq/./bin/../KQCoInstaller"}), L"/opt/kq/");
  EXPECT_EQ(MediaRootDirectory(sys.services(), {L"/KQCoInstaller"}), L"/");
}

TEST(MediaRootDirectory, BareProgramNameGivesTheCurrentFolder) {
  testing::SystemRoot sys;
  const auto cwd = sys.services().CurrentDirectory();
  ASSERT_TRUE(cwd);
  EXPECT_EQ(MediaRootDirectory(sys.services(), {L"kqcoinstaller"}), *cwd + L"/");
  // No program path at all: the current folder, with a separator appended.
  EXPECT_EQ(MediaRootDirectory(sys.services(), {}), *cwd + L"/");
}

TEST(MediaRootDirectory, FailsWhenThePathDoesNotFit) {
  testing::SystemRoot sys;
  const std::wstring dir = L"/" + std::wstring(240, L'd') + L"/";
  EXPECT_EQ(MediaRootDirectory(sys.services(), {dir + L"KQCo"}), dir);                          // 246 characters
  EXPECT_EQ(MediaRootDirectory(sys.services(), {dir + std::wstring(17, L'k')}), dir);           // 259
  EXPECT_EQ(MediaRootDirectory(sys.services(), {dir + std::wstring(18, L'k')}), std::nullopt);  // 260
  EXPECT_EQ(MediaRootDirectory(sys.services(), {L""}), std::nullopt);
}

// Current-folder fallback at the edge of the path buffer.
class FixedFolder final : public DeviceInstallServices {
 public:
  explicit FixedFolder(std::optional<std::wstring> cwd) : cwd_(std::move(cwd)) {}
  std::optional<std::wstring> CurrentDirectory() override { return cwd_; }
  std::optional<std::wstring> FullPathName(const std::wstring&) override { return std::nullopt; }
  std::unique_ptr<DeviceList> GetClassDevs(bool) override { return nullptr; }
  bool CopyOemInf(const std::wstring&) override { return false; }
  bool ReenumerateDeviceTree() override { return false; }
  std::optional<uint32_t> WaitNoPendingInstallEvents(uint32_t) override { return std::nullopt; }
  std::optional<std::pair<unsigned, unsigned>> PlatformVersion() override { return std::nullopt; }
  std::optional<std::wstring> WindowsDirectory() override { return std::nullopt; }
  std::optional<std::wstring> SystemDirectory() override { return std::nullopt; }
  std::optional<uint64_t> LastWriteTime(const std::wstring&) override { return std::nullopt; }
  std::vector<std::wstring> FindFiles(const std::wstring&) override { return {}; }
  bool RemoveFile(const std::wstring&) override { return false; }
  std::vector<std::wstring> ProfileSectionKeys(const std::wstring&, const std::wstring&) override { return {}; }
  std::wstring ProfileString(const std::wstring&, const std::wstring&, const std::wstring&,
                             const std::wstring& fallback) override {
    return fallback;
  }

 private:
  std::optional<std::wstring> cwd_;
};

TEST(MediaRootDirectory, CurrentFolderNeedsRoomForTheSeparator) {
  const std::wstring f258 = L"/" + std::wstring(257, L'c');
  FixedFolder a(f258);
  EXPECT_EQ(MediaRootDirectory(a, {}), f258 + L"/");
  FixedFolder b(f258 + L"c");  // 259 characters: fits, but the separator does not
  EXPECT_EQ(MediaRootDirectory(b, {}), std::nullopt);
  FixedFolder c(L"/" + std::wstring(257, L'c') + L"/");  // already ends in a separator
  EXPECT_EQ(MediaRootDirectory(c, {}), L"/" + std::wstring(257, L'c') + L"/");
  FixedFolder d(std::nullopt);
  EXPECT_EQ(MediaRootDirectory(d, {}), std::nullopt);
  // A program path that cannot be made full is a failure, not a reason to use the current folder.
  EXPECT_EQ(MediaRootDirectory(a, {L"prog"}), std::nullopt);
}

}  // namespace
}  // namespace kqco
