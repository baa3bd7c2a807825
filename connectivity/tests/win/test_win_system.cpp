// The Win32 backend's kernel objects and processes (named mutex, named shared memory,
// Toolhelp32 walk, CreateProcess / TerminateProcess), and the DHCP service control across
// Windows processes with the stand-in "zr-dhcp.exe".
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "files_support.h"
#include "win_support.h"
#include "zr-internal.h"

using zrwin::PipedChild;
using zrtest::TempDir;

namespace {

const std::string kStandin = zrwin::win_path(ZR_DHCP_STANDIN_PATH);
const std::string kUser = zrwin::win_path(ZR_DHCP_USER_PATH);

// The stand-in under a file name of its own in `dir`, so that parallel tests never find
// each other's servers.  Returns the file name (without folder).
std::string private_standin(const TempDir &dir) {
  std::string name = zrwin::unique_name("zrdhcp") + ".exe";
  EXPECT_TRUE(CopyFileA(kStandin.c_str(), dir.file(name).c_str(), FALSE)) << kStandin;
  return name;
}

struct Found {
  std::string name;
  long pid = -1;
};

int find_by_name(void *ctx, long pid, const char *exe) {
  auto *f = static_cast<Found *>(ctx);
  if (_stricmp(exe, f->name.c_str()) != 0) return 0;
  f->pid = pid;
  return 1;
}

long running_pid(const std::string &exe) {
  Found f;
  f.name = exe;
  return zr_os_process_walk(find_by_name, &f) == 1 ? f.pid : -1;
}

// The process id the stand-in recorded, or -1.
long recorded_pid(const std::string &record) {
  if (!zrwin::wait_for_file(record, 10000)) return -1;
  std::string text = zrfiles::read_file(record);
  return text.rfind("pid ", 0) == 0 ? std::strtol(text.c_str() + 4, nullptr, 10) : -1;
}

}  // namespace

TEST(WinNamedObjects, MutexIsRecursiveAndSharedBetweenHandles) {
  std::string name = zrwin::unique_name("zrwin-mutex");
  zr_os_mutex *a = zr_os_mutex_open(name.c_str());
  zr_os_mutex *b = zr_os_mutex_open(name.c_str());
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(zr_os_mutex_lock(a), 0);
  EXPECT_EQ(zr_os_mutex_lock(a), 0);  // the holder takes it again
  EXPECT_EQ(zr_os_mutex_unlock(a), 0);
  EXPECT_EQ(zr_os_mutex_unlock(a), 0);
  EXPECT_NE(zr_os_mutex_unlock(a), 0);  // not held any more
  EXPECT_EQ(zr_os_mutex_lock(b), 0);
  EXPECT_EQ(zr_os_mutex_unlock(b), 0);
  zr_os_mutex_close(a);
  zr_os_mutex_close(b);

  EXPECT_EQ(zr_os_mutex_open("a/b"), nullptr);
  EXPECT_EQ(zr_os_mutex_open("Global\\x"), nullptr);
  EXPECT_EQ(zr_os_mutex_open(""), nullptr);
  EXPECT_EQ(zr_os_mutex_open(std::string(201, 'm').c_str()), nullptr);
}

TEST(WinNamedObjects, SharedMemoryIsZeroedAndSeenThroughEveryHandle) {
  std::string name = zrwin::unique_name("zrwin-shared");
  int existed = -1;
  zr_os_shared *a = zr_os_shared_open(name.c_str(), 4, &existed);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(existed, 0);
  zr_os_shared *b = zr_os_shared_open(name.c_str(), 4, &existed);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(existed, 1);
  auto *pa = static_cast<uint32_t *>(zr_os_shared_map(a));
  auto *pb = static_cast<uint32_t *>(zr_os_shared_map(b));
  ASSERT_NE(pa, nullptr);
  ASSERT_NE(pb, nullptr);
  EXPECT_EQ(*pa, 0u);
  *pa = 0x12345678u;
  EXPECT_EQ(*pb, 0x12345678u);
  zr_os_shared_unmap(a, pa);
  zr_os_shared_unmap(b, pb);
  zr_os_shared_close(a);
  zr_os_shared_close(b);
  EXPECT_EQ(zr_os_shared_open(name.c_str(), 0, &existed), nullptr);
}

TEST(WinNamedObjects, MutexLeftByAnEndedHolderIsAcquiredAndReported) {
  std::string prefix = zrwin::unique_name("zrwin-abandon") + "-";
  zri_dhcp_names(prefix.c_str(), nullptr);
  PipedChild user(kUser);
  ASSERT_TRUE(user.ok()) << kUser;
  EXPECT_EQ(user.ask("names\t" + prefix + "\tzr-dhcp.exe"), "ok");
  // The helper takes the mutex and ends while holding it (exit code 9).
  zr_os_mutex *m = zr_os_mutex_open(zri_dhcp_mutex_name());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(user.ask("die-holding-mutex"), "holding");
  EXPECT_EQ(user.wait(10000), 9);
  EXPECT_EQ(zr_os_mutex_lock(m), 1);
  EXPECT_EQ(zr_os_mutex_unlock(m), 0);
  EXPECT_EQ(zr_os_mutex_lock(m), 0);  // usable again
  EXPECT_EQ(zr_os_mutex_unlock(m), 0);
  zr_os_mutex_close(m);
  zri_dhcp_names(nullptr, nullptr);
}

TEST(WinProcesses, StartedProgramIsFoundByNameAndTerminated) {
  TempDir dir;
  std::string exe = private_standin(dir);
  std::string program = dir.file(exe);
  std::string line = "\"" + program + "\" --max-seconds 30 \"two words\" x";
  zr_os_process *p = zr_os_process_start(program.c_str(), line.c_str());
  ASSERT_NE(p, nullptr);
  long pid = recorded_pid(dir.file("zr-dhcp.args"));
  ASSERT_GT(pid, 0);
  // The program gets the command line exactly as it was given.
  EXPECT_NE(zrfiles::read_file(dir.file("zr-dhcp.args")).find("\n" + line + "\n"), std::string::npos);
  EXPECT_EQ(zr_os_process_alive(p), 1);
  EXPECT_EQ(running_pid(exe), pid);

  zr_os_process *q = zr_os_process_open(pid);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(zr_os_process_terminate(q, 5000), 0);
  EXPECT_EQ(zr_os_process_alive(q), 0);
  EXPECT_EQ(zr_os_process_alive(p), 0);
  EXPECT_EQ(zr_os_process_terminate(p, 100), 0);  // already gone: nothing to do
  EXPECT_EQ(running_pid(exe), -1);
  zr_os_process_close(q);
  zr_os_process_close(p);

  EXPECT_EQ(zr_os_process_start(dir.file("missing.exe").c_str(), "missing.exe"), nullptr);
  EXPECT_EQ(zr_os_process_open(0), nullptr);
}

TEST(WinDhcp, ServerIsSharedByProcessesAndEndedByTheLastUser) {
  TempDir dir;
  std::string exe = private_standin(dir);
  std::string prefix = zrwin::unique_name("zrwin-dhcp") + "-";
  zri_dhcp_names(prefix.c_str(), exe.c_str());
  FILE *cfg = std::fopen(dir.file("zr-dhcp.cfg").c_str(), "wb");  // the data file comes with it
  ASSERT_NE(cfg, nullptr);
  std::fclose(cfg);

  ASSERT_EQ(KQ_ZR_dhcp_init(dir.path().c_str(), "--max-seconds 60 -q"), 0);
  long pid = recorded_pid(dir.file("zr-dhcp.args"));
  ASSERT_GT(pid, 0);
  EXPECT_EQ(running_pid(exe), pid);
  EXPECT_EQ(zr_os_path_kind(dir.file("zr-dhcp.dat").c_str()), 1);

  // A second process finds the server running and counts itself.
  PipedChild user(kUser);
  ASSERT_TRUE(user.ok());
  EXPECT_EQ(user.ask("names\t" + prefix + "\t" + exe), "ok");
  EXPECT_EQ(user.ask("init\t" + dir.path() + "\t--max-seconds 60 -q"), "0");
  EXPECT_EQ(running_pid(exe), pid);  // not started twice

  // The first user lets go: the server stays for the second.
  EXPECT_EQ(KQ_ZR_dhcp_cleanup(), 0);
  EXPECT_EQ(running_pid(exe), pid);
  // The last user lets go: the server is terminated.
  EXPECT_EQ(user.ask("cleanup"), "0");
  EXPECT_EQ(running_pid(exe), -1);
  EXPECT_EQ(user.ask("quit"), "bye");
  zri_dhcp_names(nullptr, nullptr);
}
