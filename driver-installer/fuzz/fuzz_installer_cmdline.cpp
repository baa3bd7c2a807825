// fuzz_installer_cmdline.cpp -- the driver installer's command line: the byte-to-wide
// conversion of its entry, the switches and the INF name / hardware ID pair.
//
// Input: the command line's bytes after the program name, as the entry joins them.
//
// What must hold: the conversion gives back exactly the bytes it was given; the parses look
// at the first 259 characters only and up to a NUL; switches ignore case; an INF name is
// lower case, holds ".inf" and no double quote, a hardware ID is upper case, holds "VID_"
// and no double quote, neither longer than the part looked at.
#include <string>

#include "command_line.h"
#include "fuzz_support.h"
#include "wide_text.h"

namespace {

bool same(const kqco::Switches &a, const kqco::Switches &b) {
  return a.install == b.install && a.forceInstall == b.forceInstall && a.uninstall == b.uninstall &&
         a.removeAnyway == b.removeAnyway && a.silent == b.silent && a.noInteraction == b.noInteraction;
}

bool same(const kqco::InstallArguments &a, const kqco::InstallArguments &b) {
  return a.infFileName == b.infFileName && a.hardwareId == b.hardwareId;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string bytes(reinterpret_cast<const char *>(data), size);
  std::wstring line = kqco::DecodeUtf8(bytes);
  FUZZ_CHECK(kqco::EncodeUtf8(line) == bytes);
  if (line.size() > kqco::kMaxCommandLine) line.resize(kqco::kMaxCommandLine);

  kqco::Switches sw = kqco::ReadSwitches(line);
  kqco::InstallArguments args = kqco::ParseInstallArguments(line);

  const size_t window = 259;
  std::wstring seen(kqco::UpToNul(line).substr(0, window));
  FUZZ_CHECK(same(sw, kqco::ReadSwitches(seen)));
  FUZZ_CHECK(same(args, kqco::ParseInstallArguments(seen)));
  std::wstring upper = line, lower = line;
  kqco::AsciiUpperInPlace(upper);
  kqco::AsciiLowerInPlace(lower);
  FUZZ_CHECK(same(sw, kqco::ReadSwitches(upper)));
  FUZZ_CHECK(same(sw, kqco::ReadSwitches(lower)));
  FUZZ_CHECK(same(args, kqco::ParseInstallArguments(upper)));

  const std::wstring &inf = args.infFileName;
  if (!inf.empty()) {
    FUZZ_CHECK(inf.find(L".inf") != std::wstring::npos);
    FUZZ_CHECK(inf.find(L'"') == std::wstring::npos && inf.size() <= window);
    for (wchar_t c : inf) FUZZ_CHECK(!(c >= L'A' && c <= L'Z'));
  }
  const std::wstring &id = args.hardwareId;
  if (!id.empty()) {
    FUZZ_CHECK(id.find(L"VID_") != std::wstring::npos);
    FUZZ_CHECK(id.find(L'"') == std::wstring::npos && id.size() <= window);
    for (wchar_t c : id) FUZZ_CHECK(!(c >= L'a' && c <= L'z'));
  }
  return 0;
}
