// cli-codes.cpp -- result codes and installation error words as a person reads them.
#include "cli.h"
#include "zr-net.h"

#include <cstdio>

namespace zrcli {

namespace {

struct CodeText {
  int code;
  const char *name;
  const char *text;
};

// The library's own codes and the handheld's statuses, from the library's one list.
#define ZRCLI_CODE_ROW(name, value, text) {ZR_E_##name, "ZR_E_" #name, text},
#define ZRCLI_STATUS_ROW(name, value, text) {ZR_S_##name, "ZR_S_" #name, text},
const CodeText kLibraryCodes[] = {ZR_RESULT_MAP(ZRCLI_CODE_ROW)};
const CodeText kStatuses[] = {ZR_STATUS_MAP(ZRCLI_STATUS_ROW)};
#undef ZRCLI_CODE_ROW
#undef ZRCLI_STATUS_ROW

const char *status_meaning(int status) {
  for (const auto &s : kStatuses)
    if (s.code == status) return s.text;
  return nullptr;
}

}  // namespace

std::string describe(int code) {
  char buf[320];
  for (const auto &c : kLibraryCodes) {
    if (c.code == code) {
      // Several numbers are also what a handheld status of the same magnitude becomes;
      // those carry both readings.
      if (const char *also = status_meaning(-code))
        std::snprintf(buf, sizeof buf, "%s (%d): %s (or the handheld reports: %s)", c.name, code, c.text, also);
      else
        std::snprintf(buf, sizeof buf, "%s (%d): %s", c.name, code, c.text);
      return buf;
    }
  }
  if (code < 0 && code > -65536) {
    if (const char *meaning = status_meaning(-code))
      std::snprintf(buf, sizeof buf, "%d: the handheld refused with status %d (%s)", code, -code, meaning);
    else
      std::snprintf(buf, sizeof buf, "%d: the handheld refused with status %d", code, -code);
    return buf;
  }
  std::snprintf(buf, sizeof buf, "%d", code);
  return buf;
}

std::string describe_install_word(int code) {
  unsigned word = static_cast<unsigned>(code) & 0xFFFFu;
  std::string reasons;
  auto add = [&](const char *r) {
    if (!reasons.empty()) reasons += ", ";
    reasons += r;
  };
  if (word & 0x0008) add("battery low");
  if (word & 0x0002) add("not enough storage");
  if (word & 0x0001) add("the handheld is busy");
  if (word & (0x0020 | 0x0004 | 0x0010 | 0x0080)) add("the image is not a valid OS file");
  if (reasons.empty()) reasons = "the handheld is busy";
  char buf[256];
  std::snprintf(buf, sizeof buf, "installation failed (%d, error word 0x%04X): %s", code, word, reasons.c_str());
  return buf;
}

}  // namespace zrcli
