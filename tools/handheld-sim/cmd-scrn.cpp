// cmd-scrn.cpp -- "scrn 1 OFFSET MAX": a piece of the screen image.  The reply is "0 N"
// and N bytes of the image from byte OFFSET: the bytes up to the end of the image, capped
// at MAX unless MAX is 0; 0 bytes when OFFSET is at or past the end.  With --screen-animate
// the image is the next one of the moving picture, numbered by the request.
#include "sim-commands.h"
#include "sim-pattern.h"
#include "sim-text.h"

namespace zrsim {

Reply handle_scrn(Exchange &ex) {
  uint64_t op = 0;
  int status = operation_number(ex, 3, op);
  if (status != kStatusOk) return status_line(status);
  if (op != 1) return status_line(kStatusBadOperation);
  uint64_t offset = 0;
  int64_t max = 0;
  if (!parse_decimal(ex.args[1], UINT64_MAX, offset) || !parse_signed_decimal(ex.args[2], INT64_MAX, max) || max < 0)
    return status_line(kStatusBadArguments);  // a negative cap has no meaning
  std::vector<uint8_t> frame;
  if (ex.state.screen_animate) frame = pattern_frame(ex.state.profile.geometry(), ++ex.state.screen_requests);
  const std::vector<uint8_t> &image = ex.state.screen_animate ? frame : ex.state.image;
  uint64_t n = offset < image.size() ? image.size() - offset : 0;
  if (max != 0 && n > static_cast<uint64_t>(max)) n = static_cast<uint64_t>(max);
  std::string reply = "0 " + std::to_string(n) + "\n";
  if (n > 0) reply.append(reinterpret_cast<const char *>(image.data()) + offset, static_cast<size_t>(n));
  return reply;
}

}  // namespace zrsim
