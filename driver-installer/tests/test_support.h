// Helpers shared by the installer's tests: temporary folders, a system root with a fake sysfs,
// scripted window services, a private Xvfb server and a runner for the real program.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/devinst_linux.h"
#include "test_files.h"
#include "xvfb_server.h"
#include "platform/window.h"

namespace kqco::testing {

using zrtest::ReadFile;
using zrtest::TempDir;
using zrtest::WriteFile;


void MakeDirs(const std::string& path);
bool Exists(const std::string& path);
// Sets a file's modification time, in seconds since 1970.
void SetMtime(const std::string& path, long seconds);
std::wstring W(const std::string& utf8);

// An INF of the driver package naming hardwareId in its models section.
std::string PackageInf(const std::string& hardwareId);

// A fresh system root with its fake sysfs folder and a media folder (the installer's own folder).
class SystemRoot {
 public:
  SystemRoot();
  const std::string& root() const { return root_; }
  const std::string& sysfs() const { return sysfs_; }
  const std::string& media() const { return media_; }  // without trailing slash
  std::wstring MediaRoot() const { return W(media_ + "/"); }
  linux_platform::LinuxDeviceInstallServices& services() { return *services_; }

  std::string InfStore() const { return root_ + "/Windows/inf"; }
  std::string Drivers() const { return root_ + "/Windows/System32/drivers"; }
  std::string Database() const { return root_ + "/devices.db"; }

  // Replaces the device database (written beside it, then renamed over it).
  void SetDatabase(const std::string& text);
  std::string DatabaseText() const;
  // Adds a USB device to the fake sysfs, or takes it away again.
  void PlugUsb(const std::string& name, const std::string& vid, const std::string& pid, const std::string& rev = "0100",
               const std::string& serial = "");
  void UnplugUsb(const std::string& name);
  // Puts both driver files into the drivers folder.
  void InstallDriverFiles();
  std::vector<std::string> StoreFiles() const;

 private:
  TempDir dir_;
  std::string root_, sysfs_, media_;
  std::unique_ptr<linux_platform::LinuxDeviceInstallServices> services_;
};

// Window services that record every box and command. Boxes whose caption is listed in
// modalCaptions stay "up" until a command reaches them through SendCommand (or 5 s pass, giving
// 0); other boxes are answered at once by answer().
class ScriptedWindows final : public WindowServices {
 public:
  struct Box {
    std::wstring text, caption;
    BoxButtons buttons;
  };
  std::function<int(const Box&)> answer = [](const Box&) { return kIdOk; };
  std::vector<std::wstring> modalCaptions;
  bool mainWindowCreated = true;
  // Top-level windows of other components, by title; commands sent to them are recorded.
  std::vector<std::wstring> foreignWindows;

  int ShowMessageBox(const std::wstring& text, const std::wstring& caption, BoxButtons buttons) override;
  bool SendCommand(const std::wstring& windowTitle, int commandId) override;
  bool RunMainWindow(const MainWindowTexts& texts, int showCommand) override;

  std::vector<Box> boxes() const;
  std::vector<std::pair<std::wstring, int>> commands() const;
  int mainWindowRuns() const;
  // Waits until a modal box with this caption is up.
  bool WaitForModal(const std::wstring& caption, int timeoutMs);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Box> boxes_;
  std::vector<std::pair<std::wstring, int>> commands_;
  std::optional<std::wstring> modalUp_;
  int modalAnswer_ = 0;
  int mainWindowRuns_ = 0;
};

// A private X server on a free display number, ended when the object goes.
// The window tests' private X server: a small screen is enough for the installer's boxes.
class XvfbServer : public zrtest::XvfbServer {
 public:
  XvfbServer() : zrtest::XvfbServer("800x600x24") {}
};

struct ProgramResult {
  int status = -1000;  // exit status 0..255, or -1000 when it did not exit normally in time
  std::string errorOutput;
};

// Runs the built KQCoInstaller with args and an environment of its own (only envs), with
// argv[0] as given (the real path when empty). Waits at most timeoutMs, then kills it.
ProgramResult RunProgram(const std::vector<std::string>& args, const std::map<std::string, std::string>& envs,
                         const std::string& argv0 = "", int timeoutMs = 10000, const std::string& cwd = "");
std::string ProgramPath();

// The exit status a negative exit code shows as.
inline int ExitStatus(int exitCode) { return exitCode & 0xFF; }

}  // namespace kqco::testing
