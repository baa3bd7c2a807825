// service-manager.cpp -- zr-dhcp.exe as the Windows service "zr-dhcp".
//
// --install-service registers the program (with --service) to start with the system as
// LocalSystem, and its source in the Application event log; --remove-service stops and
// removes both.  Run by the service control manager, ServiceMain reports the service
// running, runs the service until the manager's stop (or shutdown) sets the stop event,
// and reports the exit status.
#include "dhcp-os.h"
#include "win-common.h"

#include <cerrno>

namespace zrdhcp {

namespace {

const wchar_t kService[] = L"zr-dhcp";
const wchar_t kDisplayName[] = L"Handheld addressing (zr-dhcp)";
const wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\zr-dhcp";

std::string win32_text(DWORD e) {
  wchar_t *text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e,
                 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
  std::string s = text ? win::utf8(text) : "";
  if (text) LocalFree(text);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
  return (s.empty() ? "error" : s) + " (" + std::to_string(e) + ")";
}

int fail(const std::string &what, DWORD e, std::string *error) {
  *error = what + ": " + win32_text(e);
  if (e == ERROR_ACCESS_DENIED) *error += "; run it as an administrator";
  return e == ERROR_ACCESS_DENIED ? EACCES : win::errno_of(e) ? win::errno_of(e) : EIO;
}

// Waits up to 20 s for the service to reach a state; false when it did not.
bool wait_for(SC_HANDLE service, DWORD state) {
  SERVICE_STATUS st{};
  for (int i = 0; i < 200; ++i) {
    if (!QueryServiceStatus(service, &st)) return false;
    if (st.dwCurrentState == state) return true;
    Sleep(100);
  }
  return false;
}

// ---- run by the manager ----
const std::function<int(OsHandle)> *service_body = nullptr;
SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_event = nullptr;
int service_status = 1;

void report(DWORD state, int exit_status) {
  SERVICE_STATUS st{};
  st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  st.dwCurrentState = state;
  st.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  st.dwWin32ExitCode = exit_status == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  st.dwServiceSpecificExitCode = static_cast<DWORD>(exit_status);
  st.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 10000;
  SetServiceStatus(status_handle, &st);
}

DWORD WINAPI on_control(DWORD control, DWORD, void *, void *) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    report(SERVICE_STOP_PENDING, 0);
    SetEvent(stop_event);
  }
  return NO_ERROR;
}

void WINAPI service_main(DWORD, wchar_t **) {
  status_handle = RegisterServiceCtrlHandlerExW(kService, on_control, nullptr);
  if (!status_handle) return;
  report(SERVICE_RUNNING, 0);
  service_status = (*service_body)(reinterpret_cast<OsHandle>(stop_event));
  report(SERVICE_STOPPED, service_status);
}

HANDLE event_source = nullptr;

}  // namespace

int install_service(std::string *done, std::string *error) {
  std::wstring program(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, &program[0], static_cast<DWORD>(program.size()));
  if (n == 0 || n >= program.size()) return fail("cannot tell the program's path", GetLastError(), error);
  program.resize(n);
  const std::wstring command = L"\"" + program + L"\" --service";
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT);
  if (!manager) return fail("cannot open the service control manager", GetLastError(), error);
  SC_HANDLE service = CreateServiceW(manager, kService, kDisplayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr);
  bool existed = false;
  if (!service && GetLastError() == ERROR_SERVICE_EXISTS) {
    // Installed before (maybe from another folder): it is pointed at this program.
    existed = true;
    service = OpenServiceW(manager, kService, SERVICE_ALL_ACCESS);
    if (service && !ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                         command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, kDisplayName)) {
      DWORD e = GetLastError();
      CloseServiceHandle(service);
      CloseServiceHandle(manager);
      return fail("cannot change the service zr-dhcp", e, error);
    }
  }
  if (!service) {
    DWORD e = GetLastError();
    CloseServiceHandle(manager);
    return fail("cannot register the service zr-dhcp", e, error);
  }
  wchar_t description[] = L"Gives attached handhelds their addresses (DHCP on their USB network adapters).";
  SERVICE_DESCRIPTIONW d{description};
  ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &d);
  // The event source: the lines are the events' text (no message file of their own).
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) ==
      ERROR_SUCCESS) {
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&types), sizeof types);
    RegCloseKey(key);
  }
  DWORD e = StartServiceW(service, 0, nullptr) ? 0 : GetLastError();
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (e != 0 && e != ERROR_SERVICE_ALREADY_RUNNING)
    return fail(std::string("the service zr-dhcp is ") + (existed ? "changed" : "registered") + " but did not start", e,
                error);
  *done = std::string("the service zr-dhcp is ") + (existed ? "changed" : "registered") + " (" + win::utf8(command.c_str()) +
          ", started with the system) and running";
  return 0;
}

int remove_service(std::string *done, std::string *error) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return fail("cannot open the service control manager", GetLastError(), error);
  SC_HANDLE service = OpenServiceW(manager, kService, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (!service) {
    DWORD e = GetLastError();
    CloseServiceHandle(manager);
    if (e == ERROR_SERVICE_DOES_NOT_EXIST) {
      *done = "the service zr-dhcp is not installed (nothing to remove)";
      return 0;
    }
    return fail("cannot open the service zr-dhcp", e, error);
  }
  SERVICE_STATUS st{};
  std::string stopped;
  if (ControlService(service, SERVICE_CONTROL_STOP, &st)) {
    stopped = wait_for(service, SERVICE_STOPPED) ? "stopped and " : "asked to stop (it had not stopped after 20 s) and ";
  }
  DWORD e = DeleteService(service) ? 0 : GetLastError();
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (e != 0 && e != ERROR_SERVICE_MARKED_FOR_DELETE) return fail("cannot remove the service zr-dhcp", e, error);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
  *done = "the service zr-dhcp is " + stopped + "removed";
  return 0;
}

int run_as_service(const std::function<int(OsHandle stop)> &body, std::string *error) {
  service_body = &body;
  stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!stop_event) return fail("cannot make the stop event", GetLastError(), error), 1;
  wchar_t name[] = L"zr-dhcp";
  SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    DWORD e = GetLastError();
    *error = e == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                 ? "--service is for the service control manager (install it with --install-service, or run it "
                   "without --service)"
                 : "cannot reach the service control manager: " + win32_text(e);
    return 1;
  }
  return service_status;
}

bool write_event_log(const std::string &line) {
  if (!event_source) event_source = RegisterEventSourceW(nullptr, kService);
  if (!event_source) return false;
  std::wstring text = win::wide(line);
  while (!text.empty() && text.back() == L'\n') text.pop_back();
  const wchar_t *strings[] = {text.c_str()};
  return ReportEventW(event_source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr) != 0;
}

}  // namespace zrdhcp
