// KQCoInstaller: installs or removes the USB network driver package of the Orvane handheld.
//
//   KQCoInstaller -n <name>.inf USB\VID_xxxx&PID_yyyy     install
//   KQCoInstaller -u USB\VID_xxxx&PID_yyyy                uninstall (device unplugged first)
//
// The exit status is the installer's exit code modulo 256 (-1 shows as 255).
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "installer.h"
#include "platform/linux/devinst_linux.h"
#include "platform/linux/window_x11.h"
#include "wide_text.h"

int main(int argc, char** argv) {
  // The text after the program name, as one command line. Only its beginning is ever looked at,
  // so an enormous command line is cut long before it is converted.
  constexpr std::size_t kMaxBytes = 4 * kqco::kMaxCommandLine;
  std::string joined;
  for (int i = 1; i < argc && joined.size() <= kMaxBytes; ++i) {
    if (i > 1) joined.push_back(' ');
    joined.append(std::string_view(argv[i]).substr(0, kMaxBytes));
  }
  if (joined.size() > kMaxBytes) joined.resize(kMaxBytes);
  std::wstring commandLine = kqco::DecodeUtf8(joined);
  if (commandLine.size() > kqco::kMaxCommandLine) commandLine.resize(kqco::kMaxCommandLine);

  std::vector<std::wstring> programArgs;
  if (argc > 0 && argv[0] != nullptr) programArgs.push_back(kqco::DecodeUtf8(argv[0]));

  kqco::linux_platform::LinuxDeviceInstallServices system(kqco::linux_platform::LinuxSystemOptions::FromEnvironment());
  kqco::linux_platform::X11WindowServices windows;
  kqco::InstallerContext ctx(system, windows);
  return kqco::RunInstaller(ctx, commandLine, programArgs, kqco::kShowDefault);
}
