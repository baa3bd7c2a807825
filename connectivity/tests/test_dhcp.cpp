// DHCP service control: starting, sharing and terminating the server program with real
// processes, against the stand-in zr-dhcp.exe.
//
// Every test works in a private folder with its own copy of the stand-in under a name of
// its own, and with named objects of its own (zri_dhcp_names), so tests running in
// parallel never find, count or terminate each other's servers; what a test leaves
// behind is ended and removed by the fixture, and only processes running from the test's
// own copy are ever ended.
#include "test_files.h"
#include "zr-internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

bool copy_file(const std::string &from, const std::string &to, mode_t mode) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  if (!in || !out) return false;
  out << in.rdbuf();
  out.close();
  return out.good() && chmod(to.c_str(), mode) == 0;
}

std::string read_link(const std::string &path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Processes running from one exact executable file.
std::vector<pid_t> running_from(const std::string &exe) {
  std::vector<pid_t> out;
  DIR *d = opendir("/proc");
  if (!d) return out;
  while (dirent *e = readdir(d)) {
    char *end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    if (read_link("/proc/" + std::string(e->d_name) + "/exe") == exe) out.push_back(static_cast<pid_t>(pid));
  }
  closedir(d);
  return out;
}

std::vector<std::string> lines_of(const std::string &path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// A record of the stand-in, its escapes decoded ("\\\\" and "\\n").
std::vector<std::string> record_of(const std::string &path) {
  std::vector<std::string> out;
  for (const std::string &line : lines_of(path)) {
    std::string text;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        ++i;
        text += line[i] == 'n' ? '\n' : line[i];
      } else {
        text += line[i];
      }
    }
    out.push_back(text);
  }
  return out;
}

// A helper process (zr-dhcp-user) that runs DHCP commands for a test, one a line.
class User {
 public:
  // A user that is not `named` uses the library's own names, as every program does.
  User(const std::string &prefix, const std::string &program, bool named = true) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    char *argv[] = {const_cast<char *>(ZR_DHCP_USER_PATH), nullptr};
    if (posix_spawn(&pid_, ZR_DHCP_USER_PATH, &fa, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
    if (pid_ > 0) names_ok_ = !named || ask("names\t" + prefix + "\t" + program) == "ok";
  }
  ~User() {
    if (to_ >= 0) close(to_);
    if (from_ >= 0) close(from_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool ok() const { return pid_ > 0 && names_ok_; }

  // Sends one command and returns its answer line ("<no answer>" after 10 s or an end).
  std::string ask(const std::string &command) {
    std::string line = command + "\n";
    if (write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "<no answer>";
    std::string got;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (got.find('\n') == std::string::npos) {
      long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{from_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return "<no answer>";
      char buf[256];
      ssize_t n = read(from_, buf, sizeof buf);
      if (n <= 0) return "<no answer>";
      got.append(buf, static_cast<size_t>(n));
    }
    return got.substr(0, got.find('\n'));
  }
  std::string init(const std::string &folder, const std::string &arguments) {
    return ask("init\t" + folder + "\t" + arguments);
  }
  std::string cleanup() { return ask("cleanup"); }

  // The exit status once it has ended (at most 5 s), or -1.
  int wait_exit() {
    for (int i = 0; i < 500 && pid_ > 0; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  bool names_ok_ = false;
};

struct Dhcp : ::testing::Test {
  std::unique_ptr<zrtest::TempDir> dir;
  std::string folder;     // the test's private folder, holding the stand-in
  std::string program;    // the stand-in's file name there
  std::string exe;        // its full path
  std::string prefix;     // of the named objects
  std::string arguments;  // to start the stand-in with

  void SetUp() override {
    static std::atomic<int> counter{0};
    dir = std::make_unique<zrtest::TempDir>("zr-dhcp-test");
    folder = dir->path();
    std::string id = std::to_string(getpid()) + "-" + std::to_string(counter++);
    program = "zr-dhcp-t" + id + ".exe";
    exe = folder + "/" + program;
    prefix = "zrtest-" + id + "-";
    arguments = "--max-seconds 120";  // a stand-in left behind ends by itself
    ASSERT_TRUE(copy_file(ZR_DHCP_STANDIN_PATH, exe, 0755));
    write_file("zr-dhcp.cfg", "# stand-in configuration\n");
    zri_dhcp_names(prefix.c_str(), program.c_str());
  }

  void TearDown() override {
    zri_set_seam_gate(nullptr);
    // Let go of whatever this process still holds, then end the servers that run from
    // this test's own copy and remove the test's named objects and folder.
    for (int i = 0; i < 20 && KQ_ZR_dhcp_cleanup() != ZR_E_DHCP_SHARE; ++i) {
    }
    for (pid_t pid : running_from(exe)) kill(pid, SIGKILL);
    for (int i = 0; i < 200 && !running_from(exe).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    zr_os_named_remove(zri_dhcp_mutex_name());
    zr_os_named_remove(zri_dhcp_shared_name());
    zri_dhcp_names(nullptr, nullptr);
    dir.reset();
  }

  void write_file(const std::string &name, const std::string &text) { zrtest::WriteFile(folder + "/" + name, text); }
  bool exists(const std::string &name) const {
    struct stat st;
    return stat((folder + "/" + name).c_str(), &st) == 0;
  }

  // The shared count, read the way the library reads it (under the named mutex).
  long count() const {
    zr_os_mutex *m = zr_os_mutex_open(zri_dhcp_mutex_name());
    int existed = 0;
    zr_os_shared *sh = zr_os_shared_open(zri_dhcp_shared_name(), sizeof(uint32_t), &existed);
    void *mapped = sh ? zr_os_shared_map(sh) : nullptr;
    long value = -1;
    if (m && mapped && zr_os_mutex_lock(m) >= 0) {
      value = *static_cast<uint32_t *>(mapped);
      zr_os_mutex_unlock(m);
    }
    zr_os_shared_unmap(sh, mapped);
    zr_os_shared_close(sh);
    zr_os_mutex_close(m);
    return value;
  }

  std::vector<pid_t> servers() const { return running_from(exe); }

  // Starts the stand-in from `path` as the test's own process, not through the library, and
  // waits until it has recorded itself; its process id, or -1.
  pid_t start_by_hand(const std::string &path) const {
    std::string record_file = folder + "/found.args";
    char *argv[] = {
        const_cast<char *>(path.c_str()),    const_cast<char *>("--record"), const_cast<char *>(record_file.c_str()),
        const_cast<char *>("--max-seconds"), const_cast<char *>("120"),      nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
    for (int i = 0; i < 500 && lines_of(record_file).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return lines_of(record_file).empty() ? -1 : pid;
  }

  // The stand-in's record (argument vector after the "pid" line), waiting up to 5 s.
  std::vector<std::string> record() const {
    for (int i = 0; i < 500; ++i) {
      std::vector<std::string> lines = record_of(folder + "/zr-dhcp.args");
      if (!lines.empty()) return lines;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
  }

  bool wait_no_servers() const {
    for (int i = 0; i < 300; ++i) {
      if (servers().empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::unique_ptr<User> user() {
    auto u = std::make_unique<User>(prefix, program);
    EXPECT_TRUE(u->ok());
    return u;
  }
};

// The seam gate: fails the n-th of the seam calls the DHCP control makes (counted from 1).
struct SeamGate {
  long seen = 0;
  long fail_at = 0;
  std::string failed;
};
SeamGate seam;

int seam_gate(const char *call) {
  if (++seam.seen != seam.fail_at) return 0;
  seam.failed = call;
  return 1;
}

// The documented result of a failing seam call.
int code_for(const std::string &call) {
  if (call.rfind("mutex_", 0) == 0 || call.rfind("shared_", 0) == 0) return -2001;
  if (call == "process_walk" || call == "process_open") return -2002;
  if (call == "process_start") return -2003;
  if (call == "process_terminate") return -2004;
  return 0;
}

TEST(DhcpNames, DefaultsAndPathJoin) {
  zri_dhcp_names(nullptr, nullptr);
  EXPECT_STREQ(zri_dhcp_mutex_name(), "1A6DA588-EB69-4099-8995-2F4241023593");
  EXPECT_STREQ(zri_dhcp_shared_name(), "2F7930E7-6612-4752-A226-683D6F5ABB32");
  EXPECT_STREQ(zri_dhcp_program(), "zr-dhcp.exe");
  zri_dhcp_names("p-", "");
  EXPECT_STREQ(zri_dhcp_mutex_name(), "p-1A6DA588-EB69-4099-8995-2F4241023593");
  EXPECT_STREQ(zri_dhcp_program(), "zr-dhcp.exe");
  zri_dhcp_names(nullptr, nullptr);

  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/opt/zr", "/opt/zr/zr-dhcp.exe"},
      {"/opt/zr/", "/opt/zr/zr-dhcp.exe"},
      {"C:\\zr\\", "C:\\zr\\zr-dhcp.exe"},
      {"", "/zr-dhcp.exe"},
  };
  for (const auto &c : cases) {
    char *joined = zri_path_join(c.first.c_str(), "zr-dhcp.exe");
    ASSERT_NE(joined, nullptr);
    EXPECT_EQ(std::string(joined), c.second) << c.first;
    zr_free(joined);
  }
  EXPECT_EQ(zri_path_join(nullptr, "x"), nullptr);
  EXPECT_EQ(zri_path_join("x", nullptr), nullptr);
}

TEST(DhcpNames, CleanupWithoutInitialisation) {
  EXPECT_EQ(KQ_ZR_dhcp_cleanup(), -2001);
  EXPECT_EQ(KQ_ZR_dhcp_init(nullptr, "x"), -2003) << "no folder, nothing to start";
}

TEST_F(Dhcp, FirstUserStartsTheServerAndTheLastTerminatesIt) {
  ASSERT_EQ(KQ_ZR_dhcp_init(folder.c_str(), (arguments + " --alpha \"two words\" a\\\"b c:\\\\x\\").c_str()), 0);
  EXPECT_EQ(count(), 1);
  std::vector<pid_t> running = servers();
  ASSERT_EQ(running.size(), 1u);

  // The command line was the quoted program path, a space and the arguments; the program
  // sees it as its argument vector.
  std::vector<std::string> rec = record();
  ASSERT_GE(rec.size(), 2u);
  EXPECT_EQ(rec[0], "pid " + std::to_string(running[0]));
  EXPECT_EQ(std::vector<std::string>(rec.begin() + 1, rec.end()),
            (std::vector<std::string>{exe, "--max-seconds", "120", "--alpha", "two words", "a\"b", "c:\\\\x\\"}));

  // Started on its own: no descriptors of ours beyond the null device, a session of its own.
  std::string fds = "/proc/" + std::to_string(running[0]) + "/fd";
  std::vector<std::string> open_fds;
  if (DIR *d = opendir(fds.c_str())) {
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') open_fds.push_back(e->d_name);
    closedir(d);
  }
  std::sort(open_fds.begin(), open_fds.end());
  EXPECT_EQ(open_fds, (std::vector<std::string>{"0", "1", "2"}));
  EXPECT_EQ(read_link(fds + "/1"), "/dev/null");
  EXPECT_EQ(getsid(running[0]), running[0]);

  EXPECT_EQ(KQ_ZR_dhcp_cleanup(), 0);
  EXPECT_TRUE(servers().empty()) << "terminated and collected before the clean-up returns";
  EXPECT_EQ(count(), 0);
  EXPECT_EQ(KQ_ZR_dhcp_cleanup(), -2001) << "the shared state was let go";
}

TEST_F(Dhcp, TrailingSeparatorGetsNoSecondOne) {
  ASSERT_EQ(KQ_ZR_dhcp_init((folder + "/").c_str(), arguments.c_str()), 0);
  std::vector<std::string> rec = record();
  ASSERT_GE(rec.size(), 2u);
  EXPECT_EQ(rec[1], exe);
  EXPECT_EQ(KQ_ZR_dhcp_cleanup(), 0);
}

TEST_F(Dhcp, DataFileIsCreatedOnlyBesideProgramAndConfiguration) {
  ASSERT_EQ(KQ_ZR_dhcp_init(folder.c_str(), arguments.c_str()), 0);
  struct stat st;
  ASSERT_EQ(stat((folder + "/zr-dhcp.dat").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(KQ_ZR_dhcp_cleanup(), 0);

  // An existing data file is left as it is.
  write_file("zr-dhcp.dat", "leases");
  ASSERT_EQ(KQ_ZR_dhcp_init(folder.c_str(), arguments.c_str()), 0);
  EXPECT_EQ(lines_of(folder + "/zr-dhcp.dat"), std::vector<std::string>{"leases"});
  ASSERT_EQ(KQ_ZR_dhcp_cleanup(), 0);

  // Without the configuration nothing is created (the server is still started).
  unlink((folder + "/zr-dhcp.dat").c_str());
  unlink((folder + "/zr-dhcp.cfg").c_str());
  ASSERT_EQ(KQ_ZR_dhcp_init(folder.c_str(), arguments.c_str()), 0);
  EXPECT_FALSE(exists("zr-dhcp.dat"));
  EXPECT_EQ(servers().size(), 1u);
  ASSERT_EQ(KQ_ZR_dhcp_cleanup(), 0);
}

TEST_F(Dhcp, SecondInitialisationInTheSameProcessOnlyCounts) {
  ASSERT_EQ(KQ_ZR_dhcp_init(folder.c_str(), arguments.c_str()), 0);
  std::vector<pid_t> first = servers();
  ASSERT_EQ(first.size(), 1u);
  // Even with the program gone from the folder there is no new search or start.
  unlink(exe.c_str());
  ASSERT_EQ(KQ_ZR_dhcp_init(folder.c_str(), arguments.c_str()), 0);
  EXPECT_EQ(count(), 2);
  EXPECT_EQ(kill(first[0], 0), 0);
  EXPECT_EQ(KQ_ZR_dhcp_cleanup(), 0);
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(kill(first[0], 0), 0) << "a user remains";
  EXPECT_EQ(KQ_ZR_dhcp_cleanup(), 0);
  for (int i = 0; i < 200 && kill(first[0], 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_NE(kill(first[0], 0), 0);
}

TEST_F(Dhcp, ProgramThatCannotBeStartedGivesMinus2003AndCountsNothing) {
  unlink(exe.c_str());
  EXPECT_EQ(KQ_ZR_dhcp_init(folder.c_str(), arguments.c_str()), -2003);
  EXPECT_EQ(count(), 0);
  EXPECT_FALSE(exists("zr-dhcp.dat")) << "no program, no data file";
  // The shared state stays open; the clean-up lets it go (there is no server to end).
  EXPECT_EQ(KQ_ZR_dhcp_cleanup(), 0);
  EXPECT_EQ(KQ_ZR_dhcp_cleanup(), -2001);
}

TEST_F(Dhcp, RunningServerIsFoundByNameIgnoringCase) {
  // A server that nobody counted (count 0), started by the test under the program's name
  // in capitals.
  std::string upper = program;
  for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string upper_exe = folder + "/" + upper;
  ASSERT_TRUE(copy_file(exe, upper_exe, 0755));
  pid_t found = start_by_hand(upper_exe);
  ASSERT_GT(found, 0);

  ASSERT_EQ(KQ_ZR_dhcp_init(folder.c_str(), arguments.c_str()), 0);
  EXPECT_EQ(count(), 2) << "found with a count of 0: counted once more";
  EXPECT_TRUE(servers().empty()) << "nothing was started";
  EXPECT_FALSE(exists("zr-dhcp.args"));

  EXPECT_EQ(KQ_ZR_dhcp_cleanup(), 0);
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(kill(found, 0), 0);
  EXPECT_EQ(KQ_ZR_dhcp_cleanup(), 0);
  int status = 0;
  ASSERT_EQ(waitpid(found, &status, 0), found);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ended by the clean-up's SIGTERM";
}

TEST_F(Dhcp, ProcessesShareOneServerAndTheLastCleanupEndsIt) {
  auto a = user();
  auto b = user();
  ASSERT_EQ(a->init(folder, arguments), "0");
  EXPECT_EQ(count(), 1);
  std::vector<pid_t> running = servers();
  ASSERT_EQ(running.size(), 1u);
  ASSERT_EQ(b->init(folder, arguments), "0");
  EXPECT_EQ(count(), 2);
  EXPECT_EQ(servers(), running) << "found, not started again";

  EXPECT_EQ(a->cleanup(), "0");
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(servers(), running) << "the other user keeps it";
  EXPECT_EQ(b->cleanup(), "0");
  EXPECT_TRUE(wait_no_servers()) << "the last user ends it, though another process started it";
  EXPECT_EQ(count(), 0);
}

// Programs never name the objects or the program: each one then uses the same names, so
// that all the programs of the machine share one server.
TEST_F(Dhcp, ProgramsThatNameNothingShareTheDefaultNames) {
  exe = folder + "/zr-dhcp.exe";
  ASSERT_TRUE(copy_file(ZR_DHCP_STANDIN_PATH, exe, 0755));
  zri_dhcp_names(nullptr, nullptr);
  zr_os_named_remove(zri_dhcp_mutex_name());
  zr_os_named_remove(zri_dhcp_shared_name());
  User a("", "", false);
  ASSERT_TRUE(a.ok());
  ASSERT_EQ(a.init(folder, arguments), "0");
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(servers().size(), 1u);
  EXPECT_EQ(a.cleanup(), "0");
  EXPECT_TRUE(wait_no_servers());
}

TEST_F(Dhcp, SimultaneousFirstUsersStartOneServer) {
  std::vector<std::unique_ptr<User>> users;
  for (int i = 0; i < 4; ++i) users.push_back(user());
  std::vector<std::string> results(users.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < users.size(); ++i)
    threads.emplace_back([&, i] { results[i] = users[i]->init(folder, arguments); });
  for (std::thread &t : threads) t.join();
  for (const std::string &r : results) EXPECT_EQ(r, "0");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(servers().size(), 1u);
  EXPECT_EQ(count(), 4);
  for (auto &u : users) EXPECT_EQ(u->cleanup(), "0");
  EXPECT_TRUE(wait_no_servers());
  EXPECT_EQ(count(), 0);
}

TEST_F(Dhcp, UsersCountedWhileTheFirstCreatesTheCountAreKept) {
  // A server is running (started here under the program's name), and this process holds
  // the named mutex while user A opens the shared state for the first time.  Meanwhile,
  // still holding the mutex, this process plays the users that count themselves in that
  // moment: it opens the count (creating it if A has not yet) and sets it to 2.  Once the
  // mutex is free, A must count itself on top of them, never set the count back to 0.
  pid_t server = start_by_hand(exe);
  ASSERT_GT(server, 0);

  zr_os_mutex *m = zr_os_mutex_open(zri_dhcp_mutex_name());
  ASSERT_NE(m, nullptr);
  ASSERT_GE(zr_os_mutex_lock(m), 0);
  auto a = user();
  std::string result;
  std::thread init([&] { result = a->init(folder, arguments); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // A waits for the mutex
  int existed = 0;
  zr_os_shared *sh = zr_os_shared_open(zri_dhcp_shared_name(), sizeof(uint32_t), &existed);
  void *mapped = sh ? zr_os_shared_map(sh) : nullptr;
  if (mapped) *static_cast<uint32_t *>(mapped) = 2;
  zr_os_mutex_unlock(m);
  init.join();
  zr_os_shared_unmap(sh, mapped);
  zr_os_shared_close(sh);
  zr_os_mutex_close(m);
  ASSERT_NE(mapped, nullptr);
  ASSERT_EQ(result, "0");
  EXPECT_EQ(count(), 3);
  EXPECT_EQ(a->cleanup(), "0");
  EXPECT_EQ(count(), 2);
  EXPECT_EQ(kill(server, 0), 0) << "the other users keep the server";
}

TEST_F(Dhcp, ProcessThatDiesHoldingTheMutexDoesNotBlockTheOthers) {
  auto a = user();
  ASSERT_EQ(a->init(folder, arguments), "0");
  ASSERT_EQ(a->init(folder, arguments), "0");
  ASSERT_EQ(count(), 2);
  auto dying = user();
  ASSERT_EQ(dying->ask("die-holding-mutex"), "holding");
  EXPECT_EQ(dying->wait_exit(), 9);

  // The next user takes over the mutex and carries on from the count as it was left.
  auto start = Clock::now();
  ASSERT_EQ(KQ_ZR_dhcp_init(folder.c_str(), arguments.c_str()), 0);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count(), 5);
  EXPECT_EQ(count(), 3);
  EXPECT_EQ(servers().size(), 1u);
  // The mutex works normally for everyone afterwards.
  EXPECT_EQ(a->cleanup(), "0");
  EXPECT_EQ(a->cleanup(), "0");
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(KQ_ZR_dhcp_cleanup(), 0);
  EXPECT_TRUE(wait_no_servers());

  // Dying while holding it when nobody uses the server: the next first user starts it.
  auto dying_again = user();
  ASSERT_EQ(dying_again->ask("die-holding-mutex"), "holding");
  EXPECT_EQ(dying_again->wait_exit(), 9);
  auto b = user();
  ASSERT_EQ(b->init(folder, arguments), "0");
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(b->cleanup(), "0");
  EXPECT_TRUE(wait_no_servers());
}

TEST_F(Dhcp, ServerEndedByAnotherProcessIsNotCountedOnAgain) {
  // This process starts the server; another user joins; this process lets go first, so
  // the other one's clean-up ends the server this process still knows.
  ASSERT_EQ(KQ_ZR_dhcp_init(folder.c_str(), arguments.c_str()), 0);
  auto b = user();
  ASSERT_EQ(b->init(folder, arguments), "0");
  ASSERT_EQ(KQ_ZR_dhcp_cleanup(), 0);
  ASSERT_EQ(b->cleanup(), "0");
  ASSERT_TRUE(wait_no_servers());

  // A new initialisation here must start a new server, not count on the ended one.
  unlink((folder + "/zr-dhcp.args").c_str());
  ASSERT_EQ(KQ_ZR_dhcp_init(folder.c_str(), arguments.c_str()), 0);
  EXPECT_EQ(servers().size(), 1u);
  EXPECT_FALSE(record().empty());
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(KQ_ZR_dhcp_cleanup(), 0);
  EXPECT_TRUE(wait_no_servers());
}

TEST_F(Dhcp, EachFailingSeamCallOfTheInitialisationGivesItsCode) {
  // Every named-object and process call of an initialisation failed in turn, with no
  // server running (it is started) and with one running (it is found).  Afterwards the
  // service must work as before and no server may be left behind.
  for (bool running : {false, true}) {
    std::set<std::string> failed_calls;
    for (long n = 1; n < 50; ++n) {
      if (running && servers().empty()) {
        ASSERT_GT(start_by_hand(exe), 0);
      }
      seam = SeamGate{0, n, ""};
      zri_set_seam_gate(seam_gate);
      int r = KQ_ZR_dhcp_init(folder.c_str(), arguments.c_str());
      zri_set_seam_gate(nullptr);
      if (seam.failed.empty()) {
        EXPECT_EQ(r, 0);
        // Open, lock, shared memory and its mapping; the hold of the initialisation, the
        // walk, the start or the opening of the found server, and the holds of the count.
        EXPECT_EQ(seam.seen, running ? 10 : 9);
        EXPECT_EQ(KQ_ZR_dhcp_cleanup(), 0);
        break;
      }
      failed_calls.insert(seam.failed);
      EXPECT_EQ(r, code_for(seam.failed)) << "call " << n << " (" << seam.failed << ") failed, running " << running;

      ASSERT_EQ(KQ_ZR_dhcp_init(folder.c_str(), arguments.c_str()), 0) << "after call " << n << " failed";
      EXPECT_EQ(servers().size(), 1u);
      for (int i = 0; i < 20 && KQ_ZR_dhcp_cleanup() != ZR_E_DHCP_SHARE; ++i) {
      }
      EXPECT_TRUE(wait_no_servers()) << "after call " << n << " (" << seam.failed << ") failed";
    }
    std::set<std::string> expected = {"mutex_open", "mutex_lock", "shared_open", "shared_map", "process_walk"};
    expected.insert(running ? "process_open" : "process_start");
    EXPECT_EQ(failed_calls, expected);
  }
}

TEST_F(Dhcp, EachFailingSeamCallOfTheCleanupGivesItsCode) {
  std::set<std::string> failed_calls;
  for (long n = 1; n < 20; ++n) {
    ASSERT_EQ(KQ_ZR_dhcp_init(folder.c_str(), arguments.c_str()), 0);
    ASSERT_EQ(count(), 1);
    seam = SeamGate{0, n, ""};
    zri_set_seam_gate(seam_gate);
    int r = KQ_ZR_dhcp_cleanup();
    zri_set_seam_gate(nullptr);
    if (seam.failed.empty()) {
      EXPECT_EQ(r, 0);
      EXPECT_TRUE(wait_no_servers());
      break;
    }
    failed_calls.insert(seam.failed);
    EXPECT_EQ(r, code_for(seam.failed)) << "call " << n << " (" << seam.failed << ") failed";
    if (seam.failed == "process_terminate") {
      EXPECT_EQ(servers().size(), 1u) << "not terminated";
      EXPECT_EQ(KQ_ZR_dhcp_cleanup(), -2001) << "the shared state was let go all the same";
      for (pid_t pid : servers()) kill(pid, SIGKILL);
    } else {
      EXPECT_EQ(count(), 1) << "nothing was counted down";
      EXPECT_EQ(KQ_ZR_dhcp_cleanup(), 0);
    }
    EXPECT_TRUE(wait_no_servers());
  }
  EXPECT_EQ(failed_calls, (std::set<std::string>{"mutex_lock", "process_terminate"}));
}

TEST_F(Dhcp, StandInRecordsAndStaysUntilTerminated) {
  // The stand-in itself: it records, keeps running, and ends cleanly on SIGTERM.
  std::string record_file = folder + "/direct.args";
  char *argv[] = {const_cast<char *>(exe.c_str()), const_cast<char *>("--record"),
                  const_cast<char *>(record_file.c_str()), const_cast<char *>("line\nbreak\\"), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ), 0);
  for (int i = 0; i < 500 && lines_of(record_file).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(record_of(record_file),
            (std::vector<std::string>{"pid " + std::to_string(pid), exe, "--record", record_file, "line\nbreak\\"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "still running";
  kill(pid, SIGTERM);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
