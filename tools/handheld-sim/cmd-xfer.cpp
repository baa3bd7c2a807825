// cmd-xfer.cpp -- file transfers of the simulated handheld:
//   fput PATH SIZE OPTION   "0" (ready), then SIZE bytes of content from the client, then
//                           the final status ("0": stored; an existing file is replaced)
//   fget PATH OPTION        "0 SIZE", then SIZE bytes of content; no final status
// The content goes through in pieces of up to 64 KiB and never sits in memory as a whole.
// Stored content goes into an unfinished file first, which takes the name only when the
// whole content is there.  The fault switches --xfer-close, --xfer-stall, --xfer-size and
// --final-status shape transfers; --status, --reply and --silent replace the whole exchange
// (the transfer is then not carried out).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sim-commands.h"
#include "sim-files.h"
#include "sim-stream.h"
#include "sim-text.h"

namespace zrsim {

namespace {

constexpr size_t kPiece = 65536;
constexpr uint64_t kLargestFile = 2147483647;  // sizes travel as signed 32-bit numbers

// Whether --status, --reply or --silent take the exchange over.
bool replaced(const Exchange &ex) {
  const FaultPlan &f = ex.state.faults;
  return f.applies_to(ex.word) && (f.status || f.reply || f.silent);
}

// How far content may go before --xfer-close or --xfer-stall acts (UINT64_MAX: no limit).
uint64_t content_limit(const Exchange &ex, bool &closes, bool &stalls) {
  const FaultPlan &f = ex.state.faults;
  closes = stalls = false;
  uint64_t limit = UINT64_MAX;
  if (!f.applies_to(ex.word)) return limit;
  if (f.xfer_close && *f.xfer_close < limit) {
    limit = *f.xfer_close;
    closes = true;
  }
  if (f.xfer_stall && *f.xfer_stall < limit) {
    limit = *f.xfer_stall;
    closes = false;
    stalls = true;
  }
  return limit;
}

bool write_fully(int fd, const char *data, size_t len) {
  while (len > 0) {
    ssize_t w = write(fd, data, len);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = ENOSPC;
      return false;
    }
    data += w;
    len -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

Reply handle_fput(Exchange &ex) {
  std::vector<std::string> words = split_escaped(ex.text);
  uint64_t size = 0, option = 0;
  if (words.size() != 4 || !parse_decimal(words[2], kLargestFile, size) || !parse_decimal(words[3], 65535, option))
    return status_line(kStatusBadArguments);
  Resolved r;
  int status = resolve_path(ex.state.files.storage, words[1], r);
  if (status != kStatusOk) return status_line(status);
  if (r.parts.empty() || r.is_dir) return status_line(kStatusWrongKind);
  if (size > ex.state.profile.number("disk", 1)) return status_line(kStatusNoRoom);
  if (replaced(ex)) return status_line(kStatusOk);  // the server sends what replaces it

  static unsigned counter = 0;
  std::string part = r.host.substr(0, r.host.rfind('/')) + "/" + kPartPrefix + "put-" + std::to_string(getpid()) + "-" +
                     std::to_string(ex.connection) + "-" +
                     std::to_string(__atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED));
  int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return status_line(status_of_errno(errno));

  ReplyStream out(ex);
  bool closes = false, stalls = false;
  uint64_t limit = content_limit(ex, closes, stalls);
  std::vector<char> buf(kPiece);
  uint64_t taken = 0;
  int store_status = kStatusOk;
  bool complete = out.send(status_line(kStatusOk));
  while (complete && taken < size && taken < limit) {
    uint64_t want = size - taken;
    if (limit - taken < want) want = limit - taken;
    if (want > kPiece) want = kPiece;
    ReadResult why = ReadResult::Closed;
    size_t n = ex.link.read_data(buf.data(), static_cast<size_t>(want), why);
    if (n == 0) {
      complete = false;  // the client went away or fell silent: nothing is stored
      break;
    }
    // A failed write is answered once all the content has been taken.
    if (store_status == kStatusOk && !write_fully(fd, buf.data(), n)) store_status = status_of_errno(errno);
    taken += n;
  }
  if (complete && taken >= limit) {
    // --xfer-stall: take nothing more and say nothing more; --xfer-close: the connection
    // closes as the handler returns.
    complete = false;
    if (stalls) out.stall();
  }
  if (close(fd) != 0 && store_status == kStatusOk) store_status = status_of_errno(errno);
  const FaultPlan &f = ex.state.faults;
  int final_status = store_status;
  if (final_status == kStatusOk && out.faulty() && f.final_status) final_status = static_cast<int>(*f.final_status);
  if (complete && final_status == kStatusOk && rename(part.c_str(), r.host.c_str()) != 0)
    final_status = status_of_errno(errno);
  if (!complete || final_status != kStatusOk) unlink(part.c_str());
  if (complete && out.send(status_line(final_status), true)) out.end();
  return std::nullopt;
}

Reply handle_fget(Exchange &ex) {
  std::vector<std::string> words = split_escaped(ex.text);
  uint64_t option = 0;
  if (words.size() != 3 || !parse_decimal(words[2], 65535, option)) return status_line(kStatusBadArguments);
  Resolved r;
  int status = resolve_path(ex.state.files.storage, words[1], r);
  if (status != kStatusOk) return status_line(status);
  if (!r.exists) return status_line(kStatusNotFound);
  if (r.is_dir) return status_line(kStatusWrongKind);
  if (static_cast<uint64_t>(r.st.st_size) > kLargestFile) return status_line(kStatusWrongKind);
  if (replaced(ex)) return status_line(kStatusOk);
  int fd = open(r.host.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return status_line(status_of_errno(errno));

  ReplyStream out(ex);
  const FaultPlan &f = ex.state.faults;
  uint64_t announced = out.faulty() && f.xfer_size ? *f.xfer_size : static_cast<uint64_t>(r.st.st_size);
  bool closes = false, stalls = false;
  uint64_t limit = content_limit(ex, closes, stalls);
  std::vector<char> buf(kPiece);
  uint64_t sent = 0;
  bool going = out.send("0 " + std::to_string(announced) + "\n");
  // --rate: each piece waits until the content sent so far is due.
  const uint64_t rate = ex.state.files.rate;
  const uint64_t piece = rate > 0 && rate / 10 < kPiece ? (rate / 10 > 0 ? rate / 10 : 1) : kPiece;
  auto start = std::chrono::steady_clock::now();
  // The file's own content goes out, whatever size was announced.
  while (going) {
    if (rate > 0 && sent > 0) std::this_thread::sleep_until(start + std::chrono::microseconds(sent * 1000000 / rate));
    if (sent >= limit) {
      if (stalls)
        out.stall();
      else
        ex.link.finish();
      going = false;
      break;
    }
    uint64_t want = limit - sent < piece ? limit - sent : piece;
    ssize_t n = read(fd, buf.data(), static_cast<size_t>(want));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    going = out.send(buf.data(), static_cast<size_t>(n));
    sent += static_cast<uint64_t>(n);
  }
  close(fd);
  if (going) out.end();
  return std::nullopt;
}

}  // namespace zrsim
