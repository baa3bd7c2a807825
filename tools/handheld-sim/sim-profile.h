// sim-profile.h -- the simulated handheld's identity and status: its info record and its
// own time-out pair, set from defaults, a profile file and command-line overrides.
#ifndef ZR_SIM_PROFILE_H
#define ZR_SIM_PROFILE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim-pattern.h"

namespace zrsim {

// Kinds of record members, with the codes the link's field tables use for them.
enum class FieldType : int { U32 = 10, U16 = 11, Text = 12, U8 = 13 };

struct FieldDesc {
  const char *name;
  FieldType type;
  int count;  // number of elements; for text, the member's size in characters
};

// The members of the info record in the order the info reply lists them.
const std::vector<FieldDesc> &info_fields();

// Largest screen image the simulator agrees to hold (bytes).
constexpr uint64_t kMaxImageBytes = 64ull * 1024 * 1024;

class Profile {
 public:
  Profile();  // the defaults (see the --help text)

  // Sets one member from a value in the reply syntax ("240,320,16,0", "ZR-SIM"); besides
  // the info members, "rtime" and "xtime" set the time-out pair.  Numbers are decimal and
  // must fit the member's width; addr and mask also take dotted IPv4 text.  A numeric
  // member given fewer values than it has elements gets 0 in the rest; more is refused,
  // as is text longer than the member.  Returns false with a message for a bad key or value.
  bool set(const std::string &key, const std::string &value, std::string &error);
  bool set_line(const std::string &line, std::string &error);  // "key=value"

  // Reads key=value lines from a file; blank lines and lines starting with '#' are skipped.
  bool load_file(const std::string &path, std::string &error);

  // Completes the record once all settings are in: addr becomes the listening address and
  // scrn the image size unless they were set explicitly.  Returns false with a message when
  // the screen geometry is unusable.
  bool finish(uint32_t listen_addr, std::string &error);

  // The info reply's field lines ("addr=...\n" ... "ver=...\n").
  std::string info_lines() const;

  ScreenGeometry geometry() const;
  uint32_t number(const std::string &key, size_t index = 0) const;
  std::string text(const std::string &key) const;
  uint32_t rtime() const { return rtime_; }
  uint32_t xtime() const { return xtime_; }

 private:
  struct Member {
    FieldType type;
    int count;
    std::vector<uint32_t> numbers;
    std::string text;
    bool explicit_value = false;
  };
  std::map<std::string, Member> members_;
  uint32_t rtime_ = 10000;
  uint32_t xtime_ = 10000;
};

}  // namespace zrsim

#endif
