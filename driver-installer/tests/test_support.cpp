// Helpers shared by the installer's tests (test_support.h).
#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "wide_text.h"

extern char** environ;

namespace kqco::testing {

namespace fs = std::filesystem;

void MakeDirs(const std::string& path) { fs::create_directories(path); }

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void SetMtime(const std::string& path, long seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) throw std::runtime_error("utimensat " + path);
}

std::wstring W(const std::string& utf8) { return DecodeUtf8(utf8); }

std::string PackageInf(const std::string& hardwareId) {
  return "; driver package of the Orvane handheld\r\n"
         "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\n\r\n"
         "[Manufacturer]\r\n%KQ% = KQDevices,NT.5.1\r\n\r\n"
         "[KQDevices.NT.5.1]\r\n%KQDevice% = RNDIS.NT.5.1, " +
         hardwareId +
         "\r\n\r\n"
         "[RNDIS.NT]\r\nCharacteristics = 0x84\r\nBusType = 15\r\n\r\n"
         "[Strings]\r\nKQ = \"Orvane\"\r\nKQDevice = \"Orvane USB network\"\r\n";
}

SystemRoot::SystemRoot() {
  root_ = dir_ / "root";
  sysfs_ = dir_ / "sys";
  media_ = dir_ / "media";
  MakeDirs(root_);
  MakeDirs(sysfs_);
  MakeDirs(media_);
  services_ =
      std::make_unique<linux_platform::LinuxDeviceInstallServices>(linux_platform::LinuxSystemOptions{root_, sysfs_});
}

void SystemRoot::SetDatabase(const std::string& text) {
  const std::string temp = root_ + "/.test-db";
  WriteFile(temp, text);
  fs::rename(temp, Database());
}

std::string SystemRoot::DatabaseText() const { return ReadFile(Database()).value_or(""); }

void SystemRoot::PlugUsb(const std::string& name, const std::string& vid, const std::string& pid,
                         const std::string& rev, const std::string& serial) {
  const std::string dev = sysfs_ + "/" + name;
  WriteFile(dev + "/idVendor", vid + "\n");
  WriteFile(dev + "/idProduct", pid + "\n");
  WriteFile(dev + "/bcdDevice", rev + "\n");
  if (!serial.empty()) WriteFile(dev + "/serial", serial + "\n");
}

void SystemRoot::UnplugUsb(const std::string& name) { fs::remove_all(sysfs_ + "/" + name); }

void SystemRoot::InstallDriverFiles() {
  WriteFile(Drivers() + "/usb8023y.sys", "driver");
  WriteFile(Drivers() + "/rndismpy.sys", "miniport");
}

std::vector<std::string> SystemRoot::StoreFiles() const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(InfStore(), ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

int ScriptedWindows::ShowMessageBox(const std::wstring& text, const std::wstring& caption, BoxButtons buttons) {
  const Box box{text, caption, buttons};
  std::unique_lock<std::mutex> lock(mutex_);
  boxes_.push_back(box);
  bool modal = false;
  for (const auto& c : modalCaptions) modal = modal || c == caption;
  if (!modal) {
    lock.unlock();
    return answer(box);
  }
  modalUp_ = caption;
  modalAnswer_ = 0;
  changed_.notify_all();
  changed_.wait_for(lock, std::chrono::seconds(5), [this] { return modalAnswer_ != 0; });
  modalUp_.reset();
  return modalAnswer_;
}

bool ScriptedWindows::SendCommand(const std::wstring& windowTitle, int commandId) {
  std::lock_guard<std::mutex> lock(mutex_);
  commands_.emplace_back(windowTitle, commandId);
  if (modalUp_ && *modalUp_ == windowTitle) {
    modalAnswer_ = commandId;
    changed_.notify_all();
    return true;
  }
  for (const auto& t : foreignWindows) {
    if (t == windowTitle) return true;
  }
  return false;
}

bool ScriptedWindows::RunMainWindow(const MainWindowTexts&, int) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++mainWindowRuns_;
  return mainWindowCreated;
}

std::vector<ScriptedWindows::Box> ScriptedWindows::boxes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return boxes_;
}

std::vector<std::pair<std::wstring, int>> ScriptedWindows::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

int ScriptedWindows::mainWindowRuns() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mainWindowRuns_;
}

bool ScriptedWindows::WaitForModal(const std::wstring& caption, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return modalUp_ && *modalUp_ == caption; });
}

std::string ProgramPath() { return KQCO_INSTALLER_PATH; }

ProgramResult RunProgram(const std::vector<std::string>& args, const std::map<std::string, std::string>& envs,
                         const std::string& argv0, int timeoutMs, const std::string& cwd) {
  ProgramResult result;
  TempDir scratch;
  const std::string errPath = scratch / "stderr";
  std::vector<std::string> argStore{argv0.empty() ? ProgramPath() : argv0};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStore;
  for (const auto& [k, v] : envs) envStore.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, ProgramPath().c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return result;

  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool exited = false;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      exited = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!exited) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  } else if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  }
  result.errorOutput = ReadFile(errPath).value_or("");
  return result;
}

}  // namespace kqco::testing
