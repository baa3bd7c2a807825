// The launcher's parts on their own: string table, timing settings, argument text, the option
// list, the compiled-in splash picture, the instance lock and the forwarding connection.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <fcntl.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "launcher.h"
#include "launcher_test_support.h"
#include "resources.h"

namespace lumara {
namespace {

using namespace lumara::testing;

TEST(StringTable, HoldsTheLauncherTexts) {
  EXPECT_STREQ(LoadLauncherString(4),
               "Unable to launch the application. The Java virtual machine library cannot be found.");
  EXPECT_STREQ(LoadLauncherString(5), "Unable to launch the application. The application main class cannot be found.");
  EXPECT_STREQ(LoadLauncherString(6), "Unable to launch the application. The java virtual machine cannot be created.");
  EXPECT_STREQ(LoadLauncherString(7), "Error");
  ASSERT_NE(LoadLauncherString(2), nullptr);
  EXPECT_NE(std::string(LoadLauncherString(2)).find("0.1.0"), std::string::npos);
  EXPECT_EQ(LoadLauncherString(1), nullptr);
  EXPECT_EQ(LoadLauncherString(3), nullptr);
  EXPECT_EQ(LoadLauncherString(8), nullptr);
}

TEST(Timing, RealValuesUnlessTheEnvironmentGivesAValidOne) {
  ::unsetenv("KQ_LAUNCHER_RETRY_PAUSE_MS");
  ::unsetenv("KQ_LAUNCHER_SPLASH_TIME_MS");
  ::unsetenv("KQ_LAUNCHER_SPLASH_LINGER_MS");
  EXPECT_EQ(RetryPauseMs(), 5000);
  EXPECT_EQ(SplashDisplayTimeMs(), 65535);
  EXPECT_EQ(SplashLingerMs(), 2000);
  const struct {
    const char* text;
    int expected;
  } cases[] = {{"120", 120},
               {"0", 0},
               {"", 65535},
               {"-5", 65535},
               {"12x", 65535},
               {"65536", 65535},
               {"99999999999999999999", 65535},
               {"65535", 65535},
               {"7", 7}};
  for (const auto& c : cases) {
    ::setenv("KQ_LAUNCHER_SPLASH_TIME_MS", c.text, 1);
    EXPECT_EQ(SplashDisplayTimeMs(), c.expected) << c.text;
  }
  ::unsetenv("KQ_LAUNCHER_SPLASH_TIME_MS");
}

TEST(ArgumentText, Utf8BecomesUtf16AndBadBytesBecomeReplacementCharacters) {
  EXPECT_EQ(Utf16FromUtf8("plain"), u"plain");
  EXPECT_EQ(Utf16FromUtf8("caf\xC3\xA9 \xE2\x82\xAC"), u"caf\u00e9 \u20ac");
  EXPECT_EQ(Utf16FromUtf8("\xF0\x9F\x98\x80"), std::u16string(u"\xD83D\xDE00"));  // beyond the 16-bit plane
  EXPECT_EQ(Utf16FromUtf8("a\xFF"
                          "b"),
            u"a\uFFFDb");                                           // never UTF-8
  EXPECT_EQ(Utf16FromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong '/'
  EXPECT_EQ(Utf16FromUtf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // a lone surrogate
  EXPECT_EQ(Utf16FromUtf8("x\xE2\x82"), u"x\uFFFD\uFFFD");          // cut short
  EXPECT_EQ(Utf16FromUtf8(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

class Options : public ::testing::Test {
 protected:
  std::vector<std::string> For(std::vector<std::string> args) {
    args.insert(args.begin(), "KQ-LumaraLink");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return JvmOptionsFor(static_cast<int>(argv.size()), argv.data());
  }
  const std::vector<std::string> fixed_ = {"-Djava.class.path=lib/qxconnect.jar:", "-Djava.library.path=lib", "-Xms24m",
                                           "-Xmx128m", "--add-opens=java.desktop/sun.awt.X11=ALL-UNNAMED"};
};

TEST_F(Options, FixedOptionsInOrderThenOnePerExistingPath) {
  TempDir dir;
  WriteFile(dir / "notes with spaces.txt", "x");
  std::filesystem::create_directory(dir / "folder");
  EXPECT_EQ(For({}), fixed_);
  auto expected = fixed_;
  expected.push_back(dir / "notes with spaces.txt");
  expected.push_back(dir / "folder");
  EXPECT_EQ(For({dir / "notes with spaces.txt", dir / "missing", "--verbose", dir / "folder", ""}), expected);
}

TEST_F(Options, AnExistingPathThatLooksLikeASwitchStaysAPath) {
  TempDir dir;
  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  WriteFile("-agentpath:evil.so", "");
  WriteFile("-Xmx1m", "");
  auto expected = fixed_;
  expected.push_back("./-agentpath:evil.so");
  expected.push_back("./-Xmx1m");
  EXPECT_EQ(For({"-agentpath:evil.so", "-Xmx1m", "-Xss1k"}), expected);
  std::filesystem::current_path(cwd);
}

TEST(SplashPicture, CompiledInAsARgbaPngOfTheSplashSize) {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
  ASSERT_TRUE(FindResource("BITMAP_SPLASH", "SPLASH", &data, &size));
  RgbaImage image;
  ASSERT_TRUE(DecodePng(data, size, &image));
  EXPECT_EQ(image.width, 504);
  EXPECT_EQ(image.height, 323);
  ASSERT_EQ(image.pixels.size(), 504u * 323u * 4u);
  EXPECT_EQ(image.pixels[3], 0) << "the rounded corner is transparent";
  EXPECT_EQ(image.pixels[(160 * 504 + 250) * 4 + 3], 255) << "the middle is opaque";
  EXPECT_FALSE(FindResource("BITMAP_SPLASH", "BITMAP", &data, &size));
  EXPECT_FALSE(FindResource("OTHER", "SPLASH", &data, &size));
  EXPECT_FALSE(FindResource(nullptr, "SPLASH", &data, &size));
}

TEST(SplashPicture, DamagedPicturesAreRefused) {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
  ASSERT_TRUE(FindResource("BITMAP_SPLASH", "SPLASH", &data, &size));
  RgbaImage image;
  EXPECT_FALSE(DecodePng(data, size / 2, &image));  // cut short
  std::vector<unsigned char> bad(data, data + size);
  bad[1] = 'X';  // not a PNG signature
  EXPECT_FALSE(DecodePng(bad.data(), bad.size(), &image));
  EXPECT_FALSE(DecodePng(data, 0, &image));
  EXPECT_EQ(image.width, 0);
}

// ---- the instance lock ---------------------------------------------------------------------------
class InstanceLock : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir_ / "run");
    ::setenv("XDG_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
  }
  void TearDown() override { ::unsetenv("XDG_RUNTIME_DIR"); }
  // Tries the lock in a child process; true when it got it.
  static bool TryInChild() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(TakeInstanceLock() == InstanceLockResult::kTaken ? 0 : 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  // A child that takes the lock and keeps it until killed.
  static pid_t HolderChild() {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
      const char ok = TakeInstanceLock() == InstanceLockResult::kTaken ? '1' : '0';
      (void)!::write(fds[1], &ok, 1);
      ::pause();
      ::_exit(0);
    }
    char got = 0;
    (void)!::read(fds[0], &got, 1);
    ::close(fds[0]);
    ::close(fds[1]);
    return got == '1' ? pid : -1;
  }
  TempDir dir_;
};

TEST_F(InstanceLock, OneHolderPerSessionAndGoneWhenTheHolderDies) {
  EXPECT_EQ(InstanceLockPath(), dir_ / "run/Orvane-Connect.lock");
  const pid_t holder = HolderChild();
  ASSERT_GT(holder, 0);
  EXPECT_FALSE(TryInChild());
  ::kill(holder, SIGKILL);  // a crash: nothing is released explicitly
  ::waitpid(holder, nullptr, 0);
  EXPECT_TRUE(TryInChild());
}

TEST_F(InstanceLock, OtherSessionsHaveLocksOfTheirOwn) {
  const pid_t holder = HolderChild();
  ASSERT_GT(holder, 0);
  std::filesystem::create_directory(dir_ / "run2");
  ::setenv("XDG_RUNTIME_DIR", (dir_ / "run2").c_str(), 1);
  EXPECT_TRUE(TryInChild());
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
}

TEST_F(InstanceLock, WithoutAPrivateRuntimeFolderTheUsersOwnFolderInTmpHoldsTheLock) {
  const std::string fallback = "/tmp/Orvane-Connect-" + std::to_string(::getuid()) + "/Orvane-Connect.lock";
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(InstanceLockPath(), fallback);
  ::setenv("XDG_RUNTIME_DIR", "relative/folder", 1);
  EXPECT_EQ(InstanceLockPath(), fallback);
  // A runtime folder that others may write is no place for the lock either.
  ::chmod((dir_ / "run").c_str(), 0777);
  ::setenv("XDG_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
  EXPECT_EQ(InstanceLockPath(), fallback);
}

TEST_F(InstanceLock, NotInheritedByProgramsTheApplicationStarts) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (TakeInstanceLock() != InstanceLockResult::kTaken) ::_exit(2);
    // Every descriptor of the lock file must be closed on exec.
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      const auto target = std::filesystem::read_symlink(entry.path(), ec);
      if (ec || target.string().find("Orvane-Connect.lock") == std::string::npos) continue;
      const int fd = std::stoi(entry.path().filename().string());
      if ((::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) ::_exit(3);
      ::_exit(0);
    }
    ::_exit(4);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(InstanceLock, AFileThatIsNotOursIsNoLock) {
  // A symbolic link where the lock file should be is not followed, and is no running instance.
  std::filesystem::create_symlink(dir_ / "elsewhere", dir_ / "run/Orvane-Connect.lock");
  std::string why;
  EXPECT_EQ(TakeInstanceLock(&why), InstanceLockResult::kUnavailable);
  EXPECT_NE(why.find("Orvane-Connect.lock"), std::string::npos) << why;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "elsewhere"));
}

TEST_F(InstanceLock, AnotherInstanceHoldingItIsToldApartFromNoLock) {
  const pid_t holder = HolderChild();
  ASSERT_GT(holder, 0);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(static_cast<int>(TakeInstanceLock()));
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(InstanceLockResult::kHeldElsewhere));
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
}

// ---- forwarding ------------------------------------------------------------------------------------
class Forwarding : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!EnterPrivateNetwork(&why)) GTEST_SKIP() << why;
    ::setenv("KQ_LAUNCHER_RETRY_PAUSE_MS", "100", 1);
  }
  void TearDown() override { ::unsetenv("KQ_LAUNCHER_RETRY_PAUSE_MS"); }
  static int Listen() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(46001);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  static std::string ReadConnection(int listener) {
    const int c = ::accept(listener, nullptr, nullptr);
    std::string got;
    char buf[256];
    for (ssize_t n; (n = ::read(c, buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
    ::close(c);
    return got;
  }
  static int Forward(std::vector<std::string> args) {
    args.insert(args.begin(), "KQ-LumaraLink");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return ForwardArguments(argv.data(), static_cast<int>(argv.size()));
  }
};

TEST_F(Forwarding, ArgumentsBackToBackOnOneConnectionThenClosed) {
  const int listener = Listen();
  ASSERT_GE(listener, 0);
  SynCounter syns(46001);
  EXPECT_EQ(Forward({"first file.txt", "b\xC3\xA9ta", "", "/last"}), 0);
  EXPECT_EQ(ReadConnection(listener), "first file.txtb\xC3\xA9ta/last");  // read to the sender's close
  if (syns.ok()) {
    EXPECT_EQ(syns.Count(), 1);
  }
  ::close(listener);
}

TEST_F(Forwarding, FiveAttemptsEachFollowedByAPauseWhenNobodyListens) {
  SynCounter syns(46001);
  const auto start = Clock::now();
  EXPECT_EQ(Forward({"lost"}), -1);
  const auto took = std::chrono::duration_cast<Ms>(Clock::now() - start).count();
  EXPECT_GE(took, 500);  // the pause follows the fifth attempt too
  EXPECT_LT(took, 3000);
  if (syns.ok()) {
    EXPECT_EQ(syns.Count(), 5);
  }
}

TEST_F(Forwarding, AListenerThatComesLateStillGetsTheArguments) {
  ::setenv("KQ_LAUNCHER_RETRY_PAUSE_MS", "150", 1);
  int listener = -1;
  std::thread late([&] {
    std::this_thread::sleep_for(Ms(350));
    listener = Listen();
  });
  SynCounter syns(46001);
  const int rc = Forward({"late"});
  late.join();
  ASSERT_GE(listener, 0);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadConnection(listener), "late");
  if (syns.ok()) {
    EXPECT_GE(syns.Count(), 3);
    EXPECT_LE(syns.Count(), 5);
  }
  ::close(listener);
}

TEST_F(Forwarding, AListenerThatGoesAwayMidStreamDoesNotKillTheSender) {
  // The listener takes the connection and closes it at once without reading: the sends that
  // follow fail (the peer has reset), which must neither raise SIGPIPE nor stop the sender.
  const int listener = Listen();
  ASSERT_GE(listener, 0);
  std::thread rude([&] {
    const int c = ::accept(listener, nullptr, nullptr);
    linger l{1, 0};
    ::setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(c);
  });
  const std::string big(4 << 20, 'x');
  EXPECT_EQ(Forward({big, big, "tail"}), 0);
  rude.join();
  ::close(listener);
}

}  // namespace
}  // namespace lumara
