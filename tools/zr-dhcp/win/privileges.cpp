// privileges.cpp -- what the service needs of its token: an elevated one (an administrator's
// that was elevated, or the service account's).
#include "dhcp-os.h"
#include "win-common.h"

namespace zrdhcp {

std::vector<std::string> missing_privileges() {
  std::vector<std::string> missing;
  HANDLE token = nullptr;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
      !GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)) {
    missing.push_back("an elevated token (the process's token cannot be read: error " + std::to_string(GetLastError()) +
                      ")");
  } else if (!elevation.TokenIsElevated) {
    missing.push_back("an elevated token (to set the adapters' addresses and receive DHCP requests on UDP port 67)");
  }
  if (token) CloseHandle(token);
  return missing;
}

}  // namespace zrdhcp
