// zr-dhcp-standin-win.cpp -- zr-dhcp.exe for the Windows tests: the stand-in for the DHCP
// server program that the link library starts, shares and terminates.
//
// It serves no addresses.  As soon as it runs it records its process id and its command
// line, exactly as it got it, in "zr-dhcp.args" beside the executable (written under a
// temporary name and renamed, so a reader sees either no record or a whole one):
//     pid <process id>
//     <command line>
// Then it waits until it is terminated; "--max-seconds N" anywhere on the command line ends
// it by itself after N seconds (exit code 0), so that a stand-in nobody terminates does not
// linger.  Exit code 2: the record cannot be written.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main() {
  const char *line = GetCommandLineA();
  char exe[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
  if (n == 0 || n >= sizeof exe) return 2;
  std::string folder(exe);
  size_t slash = folder.find_last_of("\\/");
  folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
  std::string record = folder + "\\zr-dhcp.args";
  std::string temp = record + "." + std::to_string(GetCurrentProcessId());
  FILE *f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) return 2;
  std::fprintf(f, "pid %lu\n%s\n", static_cast<unsigned long>(GetCurrentProcessId()), line);
  if (std::fclose(f) != 0 || !MoveFileExA(temp.c_str(), record.c_str(), MOVEFILE_REPLACE_EXISTING)) return 2;

  unsigned long max_seconds = 0;
  if (const char *m = std::strstr(line, "--max-seconds ")) max_seconds = std::strtoul(m + 14, nullptr, 10);
  ULONGLONG end = GetTickCount64() + max_seconds * 1000ull;
  while (max_seconds == 0 || GetTickCount64() < end) Sleep(50);
  return 0;
}
