// The POSIX platform layer where the library's own calls seldom lead: argument checks of
// the named objects and processes, the Win32-style split of a command line, open flags,
// names that have no system form, and what a path names.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "files_support.h"
#include "signal_ticker.h"
#include "standard_input.h"

namespace {

using zrfiles::names_in;
using zrfiles::read_file;
using zrfiles::TempDir;
using zrfiles::write_file;

TEST(PlatformLayer, NamedObjectsRefuseNamesThatCannotBeObjects) {
  for (const std::string &name : {std::string(), std::string("a/b"), std::string(201, 'x')}) {
    errno = 0;
    EXPECT_EQ(zr_os_mutex_open(name.c_str()), nullptr) << name;
    EXPECT_EQ(errno, EINVAL);
    int existed = 7;
    EXPECT_EQ(zr_os_shared_open(name.c_str(), 4, &existed), nullptr) << name;
    EXPECT_EQ(zr_os_named_remove(name.c_str()), -1) << name;
  }
  errno = 0;
  EXPECT_EQ(zr_os_mutex_open(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(zr_os_shared_open(nullptr, 4, nullptr), nullptr);
  EXPECT_EQ(zr_os_named_remove(nullptr), -1);
  EXPECT_EQ(zr_os_shared_open("zrtest-platform-size0", 0, nullptr), nullptr);
  // A mutex this process does not hold cannot be released; a shared memory not mapped is
  // not unmapped.
  zr_os_mutex *m = zr_os_mutex_open("zrtest-platform-unheld");
  ASSERT_NE(m, nullptr);
  errno = 0;
  EXPECT_EQ(zr_os_mutex_unlock(m), -1);
  EXPECT_EQ(errno, EPERM);
  zr_os_mutex_close(m);
  zr_os_shared *sh = zr_os_shared_open("zrtest-platform-unmapped", 4, nullptr);
  ASSERT_NE(sh, nullptr);
  zr_os_shared_unmap(sh, nullptr);
  zr_os_shared_close(sh);
  EXPECT_EQ(zr_os_named_remove("zrtest-platform-unheld"), 0);
  EXPECT_EQ(zr_os_named_remove("zrtest-platform-unmapped"), 0);
  // With standard input closed, a named object's file gets descriptor 0, like any other.
  zrtest::StandardInputClosed no_input;
  m = zr_os_mutex_open("zrtest-platform-on0");
  const bool locked = m != nullptr && zr_os_mutex_lock(m) >= 0 && zr_os_mutex_unlock(m) == 0;
  zr_os_mutex_close(m);
  sh = zr_os_shared_open("zrtest-platform-on0s", 4, nullptr);
  void *mapped = zr_os_shared_map(sh);
  zr_os_shared_unmap(sh, mapped);
  zr_os_shared_close(sh);
  no_input.restore();
  EXPECT_TRUE(locked);
  EXPECT_NE(mapped, nullptr);
  zr_os_named_remove("zrtest-platform-on0");
  zr_os_named_remove("zrtest-platform-on0s");
  errno = 0;
  EXPECT_EQ(zr_os_mutex_lock(nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(zr_os_mutex_unlock(nullptr), -1);
  EXPECT_EQ(zr_os_shared_map(nullptr), nullptr);
  zr_os_shared_unmap(nullptr, nullptr);
  zr_os_shared_close(nullptr);
  zr_os_mutex_close(nullptr);
}

TEST(PlatformLayer, ProcessCallsRefuseWhatIsNoProcess) {
  errno = 0;
  EXPECT_EQ(zr_os_process_open(0), nullptr);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_EQ(zr_os_process_open(-5), nullptr);
  errno = 0;
  EXPECT_EQ(zr_os_process_start(nullptr, "x"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(zr_os_process_start("/bin/true", nullptr), nullptr);
  EXPECT_EQ(zr_os_process_start("/no/such/program", "\"/no/such/program\""), nullptr);
  EXPECT_EQ(zr_os_process_alive(nullptr), -1);
  EXPECT_EQ(zr_os_process_terminate(nullptr, 0), -1);
  zr_os_process_close(nullptr);
  // A process that has ended and been collected cannot be opened.
  pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  EXPECT_EQ(zr_os_process_open(child), nullptr);
  // A process opened by its id (the server another user started) is seen alive, then ended.
  child = fork();
  if (child == 0) {
    usleep(300000);
    _exit(0);
  }
  ASSERT_GT(child, 0);
  zr_os_process *opened = zr_os_process_open(child);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(zr_os_process_alive(opened), 1);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  EXPECT_EQ(zr_os_process_alive(opened), 0);
  EXPECT_EQ(zr_os_process_terminate(opened, 100), 0);  // nothing left to end
  zr_os_process_close(opened);
  // One the caller may not signal (the first process, seen by a user who is not root) is
  // refused, and the refusal leaves no descriptor open.
  child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    auto open_descriptors = [] {
      int n = 0;
      for (int fd = 0; fd < 1024; ++fd) n += fcntl(fd, F_GETFD) >= 0;
      return n;
    };
    int before = open_descriptors();
    errno = 0;
    bool refused = zr_os_process_open(1) == nullptr && errno == EPERM;
    _exit(refused ? (open_descriptors() == before ? 0 : 3) : 4);
  }
  ASSERT_GT(child, 0);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no user to be, 3: a descriptor left open, 4: not refused";
}

TEST(PlatformLayer, TerminateAsksFirstAndKillsWhatDoesNotListen) {
  // A server that ends on SIGTERM is given the chance (the DHCP server takes back its
  // addresses then); one that ignores it is killed after the grace of a second.
  zr_os_process *polite = zr_os_process_start("/bin/sh", "\"/bin/sh\" -c \"sleep 30\"");
  ASSERT_NE(polite, nullptr);
  // An error number left over from an interrupted call of the caller changes nothing.
  errno = EINTR;
  EXPECT_EQ(zr_os_process_alive(polite), 1);
  EXPECT_EQ(zr_os_process_terminate(polite, 2000), 0);
  EXPECT_EQ(zr_os_process_alive(polite), 0);
  zr_os_process_close(polite);

  zr_os_process *deaf = zr_os_process_start("/bin/sh", "\"/bin/sh\" -c \"trap '' TERM; while :; do sleep 0.05; done\"");
  ASSERT_NE(deaf, nullptr);
  usleep(200000);  // the trap is set
  // Signals to the caller interrupt the wait; it goes on.
  const uint64_t start = zr_os_now_ms();
  {
    zrtest::SignalTicker ticks(10);
    EXPECT_EQ(zr_os_process_terminate(deaf, 3000), 0);
  }
  EXPECT_EQ(zr_os_process_alive(deaf), 0);
  EXPECT_GE(zr_os_now_ms() - start, 900u);
  EXPECT_LT(zr_os_now_ms() - start, 2900u);
  zr_os_process_close(deaf);
}

TEST(PlatformLayer, AStartedProcessHasNoneOfTheCallersDescriptorsOrIgnoredSignals) {
  // A server outlives its starter: it gets /dev/null for its standard streams, no other
  // descriptor of the caller (which would keep the caller's sockets and files open), and
  // every signal as a new program has it (a caller ignoring SIGTERM would make it deaf).
  TempDir folder;
  const std::string out = folder / "fds";
  int marker = open((folder / "marker").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(marker, 0);
  ASSERT_EQ(dup2(marker, 42), 42);  // without FD_CLOEXEC
  const std::string line =
      "\"/bin/sh\" -c \"if test -e /proc/self/fd/42; then echo inherited; else echo closed; fi > " + out +
      "; exec 4<&0 5>&1 6>&2; readlink /proc/self/fd/4 /proc/self/fd/5 /proc/self/fd/6 >> " + out +
      "; grep SigIgn /proc/self/status >> " + out + "\"";
  struct sigaction ignore = {}, old_term = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGTERM, &ignore, &old_term);
  zr_os_process *p = zr_os_process_start("/bin/sh", line.c_str());
  sigaction(SIGTERM, &old_term, nullptr);
  close(42);
  close(marker);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 500 && zr_os_process_alive(p) == 1; ++i) usleep(10000);
  EXPECT_EQ(zr_os_process_alive(p), 0);
  zr_os_process_close(p);
  const std::string seen = read_file(out);
  EXPECT_EQ(seen.substr(0, seen.find("SigIgn:")), "closed\n/dev/null\n/dev/null\n/dev/null\n");
  size_t at = seen.find("SigIgn:\t");
  ASSERT_NE(at, std::string::npos) << seen;
  unsigned long long ignored = std::strtoull(seen.c_str() + at + 8, nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGTERM - 1)), 0u) << seen;
}

// The stand-in server records the argument vector it was started with.
class CommandLines : public ::testing::Test {
 protected:
  void SetUp() override {
    exe = folder / "standin.exe";
    std::string copy = "cp '" ZR_DHCP_STANDIN_PATH "' '" + exe + "'";
    ASSERT_EQ(std::system(copy.c_str()), 0);
  }
  // Starts the stand-in with `line` and returns what it recorded after the "pid" line.  The
  // caller blocks SIGTERM (as a program that takes signals in one thread does); the server
  // starts with no signal blocked, or it could not be asked to end.
  std::vector<std::string> started_with(const std::string &line) {
    unlink((folder / "zr-dhcp.args").c_str());
    sigset_t term, old_mask;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &old_mask);
    zr_os_process *p = zr_os_process_start(exe.c_str(), line.c_str());
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    EXPECT_NE(p, nullptr) << line;
    if (p == nullptr) return {};
    std::vector<std::string> args;
    for (int i = 0; i < 500 && args.empty(); ++i) {
      std::ifstream in(folder / "zr-dhcp.args");
      std::string l;
      while (std::getline(in, l)) args.push_back(l);
      if (args.empty()) usleep(10000);
    }
    if (!args.empty()) {
      std::string status = read_file("/proc/" + args[0].substr(args[0].find(' ') + 1) + "/status");
      EXPECT_NE(status.find("\nSigBlk:\t0000000000000000\n"), std::string::npos) << status;
    }
    EXPECT_EQ(zr_os_process_alive(p), 1);
    EXPECT_EQ(zr_os_process_terminate(p, 2000), 0);
    EXPECT_EQ(zr_os_process_alive(p), 0);
    EXPECT_EQ(zr_os_process_terminate(p, 0), 0);  // gone already
    zr_os_process_close(p);
    if (!args.empty()) args.erase(args.begin());  // "pid N"
    return args;
  }
  TempDir folder;
  std::string exe;
};

TEST_F(CommandLines, SplitAsAWin32RuntimeSplitsThem) {
  // The program unquoted runs to the first blank.
  EXPECT_EQ(started_with(exe + " one\ttwo  --max-seconds 20"),
            (std::vector<std::string>{exe, "one", "two", "--max-seconds", "20"}));
  // A program alone, a program ended by a tab, a quote never closed.
  EXPECT_EQ(started_with(exe), (std::vector<std::string>{exe}));
  EXPECT_EQ(started_with(exe + "\tone"), (std::vector<std::string>{exe, "one"}));
  EXPECT_EQ(started_with("\"" + exe), (std::vector<std::string>{exe}));
  // Quotes group; doubled quotes inside a quoted part give one; backslashes are literal
  // except before a quote: 2n and a quote give n and a grouping quote, 2n+1 and a quote
  // give n and a literal quote.
  EXPECT_EQ(
      started_with("\"" + exe + "\" \"a b\" \"x \"\"y\"\" z\" c\\\\\\\"d e\\\\\\\\\"f g\" h\\i --max-seconds 20"),
      (std::vector<std::string>{exe, "a b", "x \"y\" z", "c\\\\\"d", "e\\\\\\\\f g", "h\\\\i", "--max-seconds", "20"}));
}

TEST(PlatformLayer, WhatAPathNamesAndEmptyFiles) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir / "file", "content"));
  EXPECT_EQ(zr_os_path_kind(nullptr), -1);
  EXPECT_EQ(zr_os_path_kind((dir / "file").c_str()), 1);
  EXPECT_EQ(zr_os_path_kind(dir.path().c_str()), 2);
  EXPECT_EQ(zr_os_path_kind("/dev/null"), 3);
  EXPECT_EQ(zr_os_path_kind((dir / "missing").c_str()), 0);
  EXPECT_EQ(zr_os_path_kind((dir / "file/below").c_str()), 0);
  EXPECT_EQ(zr_os_create_empty(nullptr), -1);
  EXPECT_EQ(zr_os_create_empty((dir / "missing/x").c_str()), -1);
  EXPECT_EQ(zr_os_create_empty((dir / "file").c_str()), 0);
  EXPECT_EQ(read_file(dir / "file"), "");
}

TEST(PlatformLayer, OpenFlagsAndNamesWithoutASystemForm) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir / "log", "one\n"));
  // Write-only with append: the data goes to the end.
  int fd = utf8open((dir / "log").c_str(), ZR_OS_O_WRONLY | ZR_OS_O_APPEND | ZR_OS_O_BINARY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(utf8write(fd, "two\n", 4), 4);
  EXPECT_EQ(utf8close(fd), 0);
  EXPECT_EQ(read_file(dir / "log"), "one\ntwo\n");
  // An access mode that is none of read, write, both.
  errno = 0;
  EXPECT_EQ(utf8open((dir / "new").c_str(), 3 | ZR_OS_O_CREAT), -1);
  EXPECT_EQ(errno, EINVAL);
  // A lone surrogate (low, or high at the end or before a non-low) has no UTF-8 form on
  // the system: both ends of each range.
  for (const char *name : {"\xed\xb0\x80x", "\xed\xbf\xbfx", "x\xed\xa0\x80", "x\xed\xaf\xbf",
                           "\xed\xa0\x80\xed\xaf\xbf", "\xed\xaf\xbf\xee\x80\x80"}) {
    errno = 0;
    EXPECT_EQ(utf8creat((dir / name).c_str(), 0644), -1);
    EXPECT_EQ(errno, EILSEQ);
  }
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"log"});
  // Characters of two, three and four bytes reach the system as they are (the last one
  // from the last plane, U+10FFFD).
  const std::string name = "\xc3\xa9-\xe2\x82\xac-\xf0\x9f\x98\x80-\xf4\x8f\xbf\xbd";
  fd = utf8creat((dir / name).c_str(), 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(utf8close(fd), 0);
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"log", name}));
  // Around the surrogates: U+D7FF and U+E000 as they are, and the first and last pair
  // (U+10000, U+10FFFF) as one character of four bytes.
  fd = utf8creat((dir / "\xed\x9f\xbf\xee\x80\x80-\xed\xa0\x80\xed\xb0\x80-\xed\xaf\xbf\xed\xbf\xbf").c_str(), 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(utf8close(fd), 0);
  EXPECT_EQ(names_in(dir.path()),
            (std::vector<std::string>{"log", name, "\xed\x9f\xbf\xee\x80\x80-\xf0\x90\x80\x80-\xf4\x8f\xbf\xbf"}));
  // The name a file is reached by, into a buffer too small for it.
  zr_os_wchar *w = zri_utf8_to_wide((dir / "log").c_str(), nullptr);
  ASSERT_NE(w, nullptr);
  char small[4];
  errno = 0;
  EXPECT_EQ(zr_os_real_name(w, small, sizeof small), -1);
  EXPECT_EQ(errno, ERANGE);
  char big[4096];
  EXPECT_EQ(zr_os_real_name(w, big, sizeof big), 0);
  zri_wide_free(w);
}

}  // namespace
