// sim-stream.cpp -- a reply sent piece by piece under the fault switches.
#include "sim-stream.h"

namespace zrsim {

ReplyStream::ReplyStream(Exchange &ex) : ex_(ex), faulty_(ex.state.faults.applies_to(ex.word)) {}

bool ReplyStream::send(const char *data, size_t len, bool last) {
  if (over_) return false;
  const FaultPlan &f = ex_.state.faults;
  if (!started_) {
    started_ = true;
    log_request(ex_);
    if (faulty_ && f.delay_ms && !ex_.link.pause(f.delay_ms)) {
      over_ = true;
      return false;
    }
  }
  if (faulty_ && last && f.no_final_lf && len > 0 && data[len - 1] == '\n') --len;
  bool cut = false;
  if (faulty_ && f.close_after) {
    uint64_t room = *f.close_after > sent_ ? *f.close_after - sent_ : 0;
    if (len > room) {
      len = static_cast<size_t>(room);
      cut = true;
    }
  }
  if (len > 0 && !ex_.link.write_all(data, len, faulty_ && f.split)) {
    over_ = true;
    return false;
  }
  sent_ += len;
  if (cut) {
    if (faulty_ && f.reset)
      ex_.link.reset();
    else
      ex_.link.finish();
    over_ = true;
    return false;
  }
  return true;
}

void ReplyStream::end() {
  if (over_) return;
  over_ = true;
  log_request(ex_);
  if (faulty_ && ex_.state.faults.hold)
    ex_.link.wait_for_client_close();
  else if (faulty_ && ex_.state.faults.reset)
    ex_.link.reset();
  else
    ex_.link.finish();
}

void ReplyStream::stall() {
  if (over_) return;
  over_ = true;
  log_request(ex_);
  ex_.link.hang();
}

}  // namespace zrsim
