// The installer's command line: the switches, the INF name and hardware ID pair, and the media
// root (command_line.h).
#include "command_line.h"

#include "platform/paths.h"
#include "wide_text.h"

namespace kqco {

namespace {

// The part of the command line that the parses look at: a C string cut to kMaxPath - 1 characters.
std::wstring ParseWindow(const std::wstring& commandLine) {
  return std::wstring(UpToNul(commandLine).substr(0, kMaxPath - 1));
}

std::vector<std::wstring> SplitAt(const std::wstring& text, std::wstring_view delimiters) {
  std::vector<std::wstring> tokens;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t start = text.find_first_not_of(delimiters, pos);
    if (start == std::wstring::npos) break;
    size_t end = text.find_first_of(delimiters, start);
    if (end == std::wstring::npos) end = text.size();
    tokens.push_back(text.substr(start, end - start));
    pos = end;
  }
  return tokens;
}

std::wstring WithoutQuotes(const std::wstring& token) {
  std::wstring out;
  for (wchar_t c : token) {
    if (c != L'"') out.push_back(c);
  }
  return out;
}

}  // namespace

bool HasSwitch(const std::wstring& commandLine, const wchar_t (&sw)[3]) {
  for (const auto& token : SplitAt(ParseWindow(commandLine), L" \t\n\r\f")) {
    if (token.size() >= 2 && AsciiLower(token[0]) == AsciiLower(sw[0]) && AsciiLower(token[1]) == AsciiLower(sw[1])) {
      return true;
    }
  }
  return false;
}

Switches ReadSwitches(const std::wstring& commandLine) {
  Switches s;
  s.uninstall = HasSwitch(commandLine, L"-u");
  s.install = HasSwitch(commandLine, L"-n");
  s.forceInstall = HasSwitch(commandLine, L"-f");
  s.silent = HasSwitch(commandLine, L"-s");
  s.removeAnyway = HasSwitch(commandLine, L"-r");
  s.noInteraction = HasSwitch(commandLine, L"-i");
  return s;
}

InstallArguments ParseInstallArguments(const std::wstring& commandLine) {
  InstallArguments args;
  for (auto token : SplitAt(ParseWindow(commandLine), L" ")) {
    AsciiLowerInPlace(token);
    if (token.find(L".inf") != std::wstring::npos) {
      args.infFileName = WithoutQuotes(token);
      continue;
    }
    AsciiUpperInPlace(token);
    if (token.find(L"VID_") != std::wstring::npos) args.hardwareId = WithoutQuotes(token);
  }
  return args;
}

std::optional<std::wstring> MediaRootDirectory(DeviceInstallServices& system,
                                               const std::vector<std::wstring>& programArgs) {
  if (!programArgs.empty()) {
    const auto full = system.FullPathName(programArgs[0]);
    if (!full || full->empty() || full->size() >= kMaxPath) return std::nullopt;
    size_t cut = full->size();
    while (cut > 0 && !IsPathSeparator((*full)[cut - 1])) --cut;
    if (cut == 0) return std::nullopt;  // no folder part at all
    return full->substr(0, cut);
  }
  auto dir = system.CurrentDirectory();
  if (!dir || dir->empty() || dir->size() >= kMaxPath) return std::nullopt;
  if (!IsPathSeparator(dir->back())) {
    if (dir->size() + 1 >= kMaxPath) return std::nullopt;  // no room for the separator
    dir->push_back(kPathSeparator);
  }
  return dir;
}

}  // namespace kqco
