// cli-transfers.cpp -- transfers in worker processes (Workers, which the mount uses too),
// and the transfers of a push or pull, several at a time.
//
// Every connection the library opens to the handheld begins with a pause, and the library
// is used from one thread at a time, so transfers overlap in worker processes, each with
// its own copy of the library's state.  A push or pull hands out its files in order, one
// at a time to whichever worker is free (a pipe per worker), and the workers report back
// over one shared pipe in records small enough to arrive whole; the parent alone draws the
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

// A Job on a worker's pipe: the numbers, then the lengths and bytes of the two paths.
struct JobHead {
  int32_t id, direction;
  uint64_t size;
  uint32_t remote_len, local_len;
};

bool write_job(int fd, const Job &job) {
  JobHead head{job.id, job.direction, job.size, static_cast<uint32_t>(job.remote.size()),
               static_cast<uint32_t>(job.local.size())};
  std::string record(reinterpret_cast<const char *>(&head), sizeof head);
  record += job.remote;
  record += job.local;
  return write_all(fd, record.data(), record.size());
}

int read_job(int fd, Job *job) {
  JobHead head;
  int r = read_all(fd, &head, sizeof head);
  if (r != 1) return r;
  if (head.remote_len > 65536 || head.local_len > 65536) return -1;
  job->id = head.id;
  job->direction = head.direction;
  job->size = head.size;
  job->remote.assign(head.remote_len, '\0');
  job->local.assign(head.local_len, '\0');
  if (head.remote_len && read_all(fd, &job->remote[0], head.remote_len) != 1) return -1;
  if (head.local_len && read_all(fd, &job->local[0], head.local_len) != 1) return -1;
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

// Runs the Jobs the parent hands out until it closes the pipe.
[[noreturn]] void worker(int index, int jobs_fd, uint32_t addr) {
  // A parent that ends abruptly stops its workers as Ctrl-C would.
  install_interrupt_handler();
  prctl(PR_SET_PDEATHSIG, SIGINT);
  Job t;
  while (read_job(jobs_fd, &t) == 1) {
    const int direction = t.direction;
    const std::string &remote = t.remote;
    const std::string &local = t.local;
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
    g_current = Report{Report::kProgress, index, t.id, 0, 0, 0, 0, t.size};
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

}  // namespace

// ---- parent side -----------------------------------------------------------------------

Workers::Workers(uint32_t addr) : addr_(addr) {
  if (pipe2(reports_, O_CLOEXEC) != 0) reports_[0] = reports_[1] = -1;
}

Workers::~Workers() {
  stop();
  wait();
  seal();
  if (reports_[0] >= 0) close(reports_[0]);
}

bool Workers::start(size_t slot, int also_close) {
  if (reports_[1] < 0 || slot > slots_.size()) return false;
  if (slot == slots_.size()) slots_.emplace_back();
  Slot &w = slots_[slot];
  if (alive(slot)) return true;
  close_jobs(slot);
  int jobs[2];
  if (pipe2(jobs, O_CLOEXEC) != 0) return false;
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    // A worker takes SIGINT from its parent only (stop(), or the parent's end), not the
    // terminal's Ctrl-C: the parent decides what is stopped (the mount still sends the
    // files left open after one).  A parent thread may block signals.
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    close(reports_[0]);
    close(jobs[1]);
    if (also_close >= 0) close(also_close);
    for (auto &other : slots_)
      if (other.jobs >= 0) close(other.jobs);
    g_report_fd = reports_[1];
    worker(static_cast<int>(slot), jobs[0], addr_);
  }
  close(jobs[0]);
  if (pid < 0) {
    close(jobs[1]);
    return false;
  }
  w.pid = pid;
  w.jobs = jobs[1];
  w.ended = false;
  return true;
}

bool Workers::alive(size_t slot) const {
  return slot < slots_.size() && slots_[slot].pid > 0 && !slots_[slot].ended && slots_[slot].jobs >= 0;
}

bool Workers::hand(size_t slot, const Job &job) {
  if (!alive(slot)) return false;
  if (write_job(slots_[slot].jobs, job)) return true;
  close_jobs(slot);
  return false;
}

int Workers::read_report(Report *r) { return read_all(reports_[0], r, sizeof *r); }

void Workers::seal() {
  if (reports_[1] >= 0) close(reports_[1]);
  reports_[1] = -1;
}

bool Workers::ended(size_t slot) {
  Slot &w = slots_[slot];
  if (!w.ended && w.pid > 0 && waitpid(w.pid, nullptr, WNOHANG) == w.pid) {
    w.ended = true;
    close_jobs(slot);
  }
  return w.ended;
}

void Workers::close_jobs(size_t slot) {
  Slot &w = slots_[slot];
  if (w.jobs >= 0) close(w.jobs);
  w.jobs = -1;
}

void Workers::kill_now(size_t slot) {
  Slot &w = slots_[slot];
  close_jobs(slot);
  if (w.pid > 0 && !w.ended) {
    kill(w.pid, SIGKILL);
    while (waitpid(w.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  w.ended = true;
}

void Workers::stop() {
  for (auto &w : slots_)
    if (w.pid > 0 && !w.ended) kill(w.pid, SIGINT);
}

void Workers::wait() {
  for (size_t i = 0; i < slots_.size(); ++i) {
    close_jobs(i);
    Slot &w = slots_[i];
    if (w.pid > 0 && !w.ended)
      while (waitpid(w.pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    w.ended = true;
  }
}

int run_transfers(uint32_t addr, int direction, const std::vector<Transfer> &transfers, const Options &opt,
                  std::vector<std::string> *created, Outcome *outcome) {
  const std::string verb = direction == ZR_FM_PUT ? "push" : "pull";
  uint64_t total = 0;
  for (const auto &t : transfers) total += t.size;
  Progress progress(show_progress(opt), total, static_cast<int>(transfers.size()));
  size_t count = static_cast<size_t>(opt.jobs < 1 ? 1 : opt.jobs);
  if (count > transfers.size()) count = transfers.size();
  if (count == 0) return kOk;

  Workers pool(addr);
  // A worker that has ended must not end the parent by a write to its pipe.
  struct sigaction ignore {
  }, old_pipe{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old_pipe);
  size_t started = 0;
  while (started < count && pool.start(started)) ++started;
  pool.seal();
  if (started == 0) {
    sigaction(SIGPIPE, &old_pipe, nullptr);
    std::fprintf(stderr, "zrlink: %s: cannot start a worker process\n", verb.c_str());
    return kFailed;
  }
  // The transfer each worker runs, -1 when idle.
  std::vector<int> running(started, -1);
  // Workers whose end was seen at the last look for ended ones.
  std::vector<bool> lost_seen(started, false);

  size_t next = 0;
  int failures = 0;
  bool stopping = false;     // no more transfers are handed out
  bool cancelled = false;    // Ctrl-C
  std::string stopped_file;  // the first file that Ctrl-C stopped
  auto hand_out = [&](size_t w) {
    // Nothing left, or the worker is gone (its transfer then goes to another one): the
    // worker ends.
    if (stopping || next >= transfers.size()) {
      pool.close_jobs(w);
      return;
    }
    const Transfer &t = transfers[next];
    Job job;
    job.id = static_cast<int32_t>(next);
    job.direction = direction;
    job.remote = direction == ZR_FM_PUT ? t.to : t.from;
    job.local = direction == ZR_FM_PUT ? t.from : t.to;
    job.size = t.size;
    if (!pool.hand(w, job)) return;
    ++next;
    running[w] = job.id;
    progress.start_file(t.to, t.size, static_cast<int>(w));
  };
  auto finish = [&](size_t w, int r, bool made, uint64_t announced = 0, int error = -1) {
    const Transfer &t = transfers[static_cast<size_t>(running[w])];
    int slot = static_cast<int>(w);
    running[w] = -1;
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
        pool.stop();
      }
    }
  };

  for (size_t w = 0; w < running.size(); ++w) hand_out(w);
  auto last_reap = std::chrono::steady_clock::now();
  for (;;) {
    bool busy = false;
    for (int t : running) busy = busy || t >= 0;
    if (!busy) break;
    if (interrupted() && !cancelled) {
      cancelled = stopping = true;
      pool.stop();
    }
    pollfd p{pool.reports(), POLLIN, 0};
    int ready = poll(&p, 1, 200);
    auto now = std::chrono::steady_clock::now();
    if (ready > 0 && now - last_reap < std::chrono::milliseconds(200)) {
      Report rec;
      if (pool.read_report(&rec) != 1) break;  // every worker has gone: the reaping below tells which transfers failed
      if (rec.worker < 0 || static_cast<size_t>(rec.worker) >= running.size()) continue;
      size_t w = static_cast<size_t>(rec.worker);
      if (running[w] != rec.job) continue;
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
    for (size_t w = 0; w < running.size(); ++w) {
      if (lost_seen[w] && running[w] >= 0) finish(w, kWorkerLost, false);
      lost_seen[w] = pool.ended(w);
    }
  }
  for (size_t w = 0; w < running.size(); ++w) {
    pool.close_jobs(w);
    if (running[w] >= 0) finish(w, interrupted() ? ZR_E_CANCELLED : kWorkerLost, false);
  }
  if (!stopping && next < transfers.size()) {
    ++failures;
    const char *why = "every worker process had ended before this transfer";
    std::fprintf(stderr, "zrlink: %s %s: %s\n", verb.c_str(), transfers[next].from.c_str(), why);
    if (outcome) outcome->failed.push_back({&transfers[next], why});
  }
  pool.wait();
  sigaction(SIGPIPE, &old_pipe, nullptr);

  if (cancelled || interrupted())
    return report(stopped_file.empty() ? verb : verb + " " + stopped_file, ZR_E_CANCELLED);
  return failures > 0 ? kFailed : kOk;
}

}  // namespace zrcli
