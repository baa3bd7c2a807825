// cli-transfers.cpp -- the transfers of a push or pull, several at a time.
//
// Every connection the library opens to the handheld begins with a pause, and the library
// is used from one thread at a time, so transfers overlap in worker processes, each with
// its own copy of the library's state.  The parent hands out the files in order, one at a
// time to whichever worker is free (a pipe per worker), and the workers report back over
// one shared pipe in records small enough to arrive whole; the parent alone draws the
// progress display and prints.
#include "cli-progress.h"
#include "cli.h"
#include "zr-net.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace zrcli {

namespace {

// Progress is reported every 16 KiB, which also bounds how long a Ctrl-C waits.
const uint32_t kStep = 16 * 1024;
// Progress records go to the parent at most this often.
const std::chrono::milliseconds kReportEvery(50);
// The result of a transfer whose worker process ended in the middle of it.
const int kWorkerLost = INT_MIN;
// The result of a fetch whose reply announced another size than the listing gave (the
// announced size travels in the record's `size`).
const int kOtherSize = INT_MIN + 1;

// A worker's record to the parent.
struct Report {
  enum Kind : int32_t { kProgress = 1, kDone = 2 };
  int32_t kind;
  int32_t worker;
  int32_t transfer;
  int32_t result;   // kDone: the library's result
  int32_t created;  // kDone: a fetch made a host file that was not there before
  int32_t error;    // kDone: the library's last system error after the transfer
  uint64_t done, size;
};
static_assert(sizeof(Report) <= PIPE_BUF, "a record reaches the parent whole");

bool write_all(int fd, const void *data, size_t n) {
  const char *p = static_cast<const char *>(data);
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Reads exactly n bytes: 1, or 0 at the end of the pipe, or -1.
int read_all(int fd, void *data, size_t n) {
  char *p = static_cast<char *>(data);
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, p + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) return got == 0 ? 0 : -1;
    got += static_cast<size_t>(r);
  }
  return 1;
}

// ---- worker side ---------------------------------------------------------------------

int g_report_fd = -1;
Report g_current{};
std::chrono::steady_clock::time_point g_last_report;
// The size the handheld announced for the running fetch (the record's size once the reply
// is read; the library calls back once more after the content).
uint64_t g_announced = 0;

int worker_progress(int, zr_xfer *x) {
  set_interrupt_socket(x->conn);
  g_announced = x->size;
  auto now = std::chrono::steady_clock::now();
  if (now - g_last_report >= kReportEvery) {
    g_last_report = now;
    g_current.kind = Report::kProgress;
    g_current.done = x->done;
    g_current.size = x->size;
    write_all(g_report_fd, &g_current, sizeof g_current);
  }
  return interrupted() ? 1 : 0;
}

// Transfers the files the parent hands out until it closes the pipe.
[[noreturn]] void worker(int index, int jobs_fd, uint32_t addr, int direction, const std::vector<Transfer> &transfers) {
  // A parent that ends abruptly stops its workers as Ctrl-C would.
  prctl(PR_SET_PDEATHSIG, SIGINT);
  int32_t n;
  while (read_all(jobs_fd, &n, sizeof n) == 1 && n >= 0 && static_cast<size_t>(n) < transfers.size()) {
    const Transfer &t = transfers[static_cast<size_t>(n)];
    const std::string &remote = direction == ZR_FM_PUT ? t.to : t.from;
    const std::string &local = direction == ZR_FM_PUT ? t.from : t.to;
    std::error_code ec;
    bool existed = direction == ZR_FM_GET && fs::exists(fs::symlink_status(local, ec));
    // The file a fetch replaces stays reachable under a second name until the fetched one
    // has the size of the listing: a handheld that announces another size (and sends that
    // much) must not replace a good copy.
    std::string kept;
    if (existed && fs::is_regular_file(fs::symlink_status(local, ec))) {
      fs::path l(local);
      kept = (l.parent_path() / ("." + l.filename().string() + ".zrlink-" + std::to_string(getpid()))).string();
      if (link(local.c_str(), kept.c_str()) != 0) {
        fs::copy_file(local, kept, fs::copy_options::overwrite_existing, ec);
        if (ec) kept.clear();
      }
    }
    g_current = Report{Report::kProgress, index, n, 0, 0, 0, 0, t.size};
    g_last_report = std::chrono::steady_clock::now();
    g_announced = t.size;
    int r = interrupted() ? ZR_E_CANCELLED
                          : KQ_ZR_fm_xfer(addr, direction, remote.c_str(), local.c_str(), kStep, worker_progress, 0);
    set_interrupt_socket(-1);
    bool other_size = r == 0 && direction == ZR_FM_GET && g_announced != t.size;
    if (other_size) {
      // The fetched file goes; the one that was there comes back.
      if (!existed) fs::remove(local, ec);
      if (!kept.empty()) rename(kept.c_str(), local.c_str());
      kept.clear();
      r = kOtherSize;
    }
    if (!kept.empty()) unlink(kept.c_str());
    // A failed fetch leaves an existing file as it was; a new one that stayed partial
    // is taken away.
    if (r < 0 && r != kOtherSize && direction == ZR_FM_GET && !existed) fs::remove(local, ec);
    g_current.kind = Report::kDone;
    g_current.result = r;
    g_current.error = KQ_ZR_errno();
    if (other_size) g_current.size = g_announced;
    g_current.created = r == 0 && direction == ZR_FM_GET && !existed;
    if (!write_all(g_report_fd, &g_current, sizeof g_current)) break;
  }
  _exit(0);
}

// ---- parent side -----------------------------------------------------------------------

struct Worker {
  pid_t pid = -1;
  int jobs_fd = -1;   // the parent's end of the worker's pipe of transfers
  int transfer = -1;  // the transfer it runs, -1 when idle
  bool ended = false;
};

void close_jobs(Worker &w) {
  if (w.jobs_fd >= 0) close(w.jobs_fd);
  w.jobs_fd = -1;
}

void stop_workers(std::vector<Worker> &workers) {
  for (auto &w : workers)
    if (w.pid > 0 && !w.ended) kill(w.pid, SIGINT);
}

}  // namespace

int run_transfers(uint32_t addr, int direction, const std::vector<Transfer> &transfers, const Options &opt,
                  std::vector<std::string> *created, Outcome *outcome) {
  const std::string verb = direction == ZR_FM_PUT ? "push" : "pull";
  uint64_t total = 0;
  for (const auto &t : transfers) total += t.size;
  Progress progress(show_progress(opt), total, static_cast<int>(transfers.size()));
  size_t count = static_cast<size_t>(opt.jobs < 1 ? 1 : opt.jobs);
  if (count > transfers.size()) count = transfers.size();
  if (count == 0) return kOk;

  int reports[2];
  if (pipe2(reports, O_CLOEXEC) != 0) {
    std::perror("zrlink: pipe");
    return kFailed;
  }
  // A worker that has ended must not end the parent by a write to its pipe.
  struct sigaction ignore {
  }, old_pipe{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old_pipe);
  std::vector<Worker> workers(count);
  std::fflush(nullptr);
  for (size_t i = 0; i < count; ++i) {
    int jobs[2];
    if (pipe2(jobs, O_CLOEXEC) != 0) break;
    pid_t pid = fork();
    if (pid == 0) {
      close(reports[0]);
      close(jobs[1]);
      for (size_t k = 0; k < i; ++k) close_jobs(workers[k]);
      g_report_fd = reports[1];
      worker(static_cast<int>(i), jobs[0], addr, direction, transfers);
    }
    close(jobs[0]);
    if (pid < 0) {
      close(jobs[1]);
      break;
    }
    workers[i].pid = pid;
    workers[i].jobs_fd = jobs[1];
  }
  close(reports[1]);
  while (!workers.empty() && workers.back().pid < 0) workers.pop_back();
  if (workers.empty()) {
    close(reports[0]);
    sigaction(SIGPIPE, &old_pipe, nullptr);
    std::fprintf(stderr, "zrlink: %s: cannot start a worker process\n", verb.c_str());
    return kFailed;
  }

  size_t next = 0;
  int failures = 0;
  bool stopping = false;     // no more transfers are handed out
  bool cancelled = false;    // Ctrl-C
  std::string stopped_file;  // the first file that Ctrl-C stopped
  auto hand_out = [&](Worker &w) {
    int32_t n = static_cast<int32_t>(next);
    // Nothing left, or the worker is gone (its transfer then goes to another one): the
    // worker ends.
    if (stopping || next >= transfers.size() || w.jobs_fd < 0 || !write_all(w.jobs_fd, &n, sizeof n)) {
      close_jobs(w);
      return;
    }
    ++next;
    w.transfer = n;
    progress.start_file(transfers[next - 1].to, transfers[next - 1].size, static_cast<int>(&w - workers.data()));
  };
  auto finish = [&](Worker &w, int r, bool made, uint64_t announced = 0, int error = -1) {
    const Transfer &t = transfers[static_cast<size_t>(w.transfer)];
    int slot = static_cast<int>(&w - workers.data());
    w.transfer = -1;
    progress.end_file(r == 0, slot);
    if (made && created) created->push_back(t.to);
    if (r == 0) {
      count_bytes(t.size);
      if (outcome) outcome->copied.push_back(&t);
      if (!progress.enabled() && !opt.quiet && !opt.json) std::printf("%s -> %s\n", t.from.c_str(), t.to.c_str());
    } else if (interrupted()) {
      if (stopped_file.empty()) stopped_file = t.from;
    } else if (!stopping || opt.keep_going) {
      // Transfers that a failure stopped are not failures of their own.
      ++failures;
      Context context;
      context.doing = direction == ZR_FM_PUT ? Doing::kSend : Doing::kFetch;
      context.remote = direction == ZR_FM_PUT ? t.to : t.from;
      context.local = direction == ZR_FM_PUT ? t.from : t.to;
      context.system_error = error;
      std::string why = r == kWorkerLost  ? "the worker process ended in the middle of the transfer"
                        : r == kOtherSize ? "the handheld announced " + std::to_string(announced) +
                                                " bytes for a file listed with " + std::to_string(t.size)
                                          : explain(context, r);
      std::fprintf(stderr, "zrlink: %s %s: %s\n", verb.c_str(), t.from.c_str(), why.c_str());
      if (outcome) outcome->failed.push_back({&t, why});
      if (!opt.keep_going) {
        stopping = true;
        stop_workers(workers);
      }
    }
  };

  for (auto &w : workers) hand_out(w);
  auto last_reap = std::chrono::steady_clock::now();
  for (;;) {
    bool busy = false;
    for (const auto &w : workers) busy = busy || w.transfer >= 0;
    if (!busy) break;
    if (interrupted() && !cancelled) {
      cancelled = stopping = true;
      stop_workers(workers);
    }
    pollfd p{reports[0], POLLIN, 0};
    int ready = poll(&p, 1, 200);
    auto now = std::chrono::steady_clock::now();
    if (ready > 0 && now - last_reap < std::chrono::milliseconds(200)) {
      Report rec;
      if (read_all(reports[0], &rec, sizeof rec) != 1)
        break;  // every worker has gone: the reaping below tells which transfers failed
      if (rec.worker < 0 || static_cast<size_t>(rec.worker) >= workers.size()) continue;
      Worker &w = workers[static_cast<size_t>(rec.worker)];
      if (w.transfer != rec.transfer) continue;
      if (rec.kind == Report::kProgress) {
        progress.update(rec.done, rec.size, rec.worker);
      } else {
        finish(w, rec.result, rec.created != 0, rec.size, rec.error);
        hand_out(w);
      }
      continue;
    }
    // Now and then (while records keep coming too): look for a worker that ended in
    // the middle of a transfer.  Its last records may still be in the pipe when its end
    // is seen, so it counts as lost only if the next look still finds the transfer open.
    last_reap = now;
    for (auto &w : workers) {
      if (!w.ended && w.pid > 0 && waitpid(w.pid, nullptr, WNOHANG) == w.pid) {
        w.ended = true;
        close_jobs(w);
      } else if (w.ended && w.transfer >= 0) {
        finish(w, kWorkerLost, false);
      }
    }
  }
  for (auto &w : workers) {
    close_jobs(w);
    if (w.transfer >= 0) finish(w, interrupted() ? ZR_E_CANCELLED : kWorkerLost, false);
  }
  if (!stopping && next < transfers.size()) {
    ++failures;
    const char *why = "every worker process had ended before this transfer";
    std::fprintf(stderr, "zrlink: %s %s: %s\n", verb.c_str(), transfers[next].from.c_str(), why);
    if (outcome) outcome->failed.push_back({&transfers[next], why});
  }
  for (auto &w : workers)
    if (!w.ended)
      while (waitpid(w.pid, nullptr, 0) < 0 && errno == EINTR) {
      }
  close(reports[0]);
  sigaction(SIGPIPE, &old_pipe, nullptr);

  if (cancelled || interrupted())
    return report(stopped_file.empty() ? verb : verb + " " + stopped_file, ZR_E_CANCELLED);
  return failures > 0 ? kFailed : kOk;
}

}  // namespace zrcli
