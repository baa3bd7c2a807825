// Several processes using the library at the same time against one handheld.  Each process
// walks the same automatic local ports from the same start, in step, and the ports are
// shared (address reuse), so one process regularly prepares the very connection that
// another one holds: the library must pass on to the next port instead of failing.
#include "sim_process.h"
#include "zr-internal.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace {

// One process's run: the requests it makes once the parent lets all of them start, and the
// exit code it reports (the number of failed requests, at most 100).
int requests_in_step(uint32_t addr, int start_fd, int requests) {
  if (KQ_ZR_1b_init() != 0) return 100;
  zr_tune tune{5000, 5000};
  KQ_ZR_sl_tune(2, &tune);
  char go;
  if (read(start_fd, &go, 1) != 0)  // the parent closes its end: everybody starts at once
    return 100;
  int failed = 0;
  for (int i = 0; i < requests; ++i) {
    zr_info info;
    int r = KQ_ZR_sr_info(addr, 1, &info);
    if (r != 0) {
      ++failed;
      std::fprintf(stderr, "process %d request %d: %d (errno %d)\n", static_cast<int>(getpid()), i, r, KQ_ZR_errno());
    }
  }
  KQ_ZR_1b_done();
  return failed > 100 ? 100 : failed;
}

TEST(TransportProcesses, FourProcessesOfFiftyRequestsAgainstOneHandheldAllSucceed) {
  zrtest::SimProcess sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  int start[2];
  ASSERT_EQ(pipe(start), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < 4; ++i) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(start[1]);
      _exit(requests_in_step(sim.addr(), start[0], 50));
    }
    children.push_back(pid);
  }
  close(start[0]);
  close(start[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed requests in process " << pid;
  }
  size_t info_requests = 0;
  for (const std::string &r : sim.requests()) info_requests += r == "info 1\n";
  EXPECT_EQ(info_requests, 200u);
}

}  // namespace
