// launcher-win.h -- the launcher's Win32 layer: the named mutex "Orvane-Connect", top-level
// window enumeration, Windows Sockets, the runtime library loaded with LoadLibraryA, a GDI+
// splash drawn from the program's own PNG resource, and error boxes through "user32".
// Included by launcher.h.
#ifndef KQ_LAUNCHER_WIN_H
#define KQ_LAUNCHER_WIN_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

namespace lumara {

// ---- resources of KQ-LumaraLink.exe (win/launcher.rc) -----------------------------------------
inline constexpr int kIconGroup = 1;
inline constexpr const char kSplashResourceType[] = "SPLASH";
inline constexpr const char kSplashResourceName[] = "BITMAP_SPLASH";
inline constexpr int kTextBufferChars = 1024;  // string-table texts, window texts, class names

// The text of string `id` of the program's own string table (LoadStringA into the process's
// 1024-character message buffer; longer texts are cut), or null when there is none.  The
// buffer belongs to the primary thread.
const char* LoadLauncherString(int id);

// ---- second instance -------------------------------------------------------------------------
// EnumWindows callback: activates `window` when it is a visible main window of the running
// application (title containing "Orvane-Connect", class "com.kq.vlx.qxconnect.gui.MainFrame"
// ignoring case): restored when minimised, then brought to the foreground.  Always TRUE.
// A window whose thread does not answer within kWindowTextTimeoutMs is passed over.
BOOL CALLBACK ActivateRunningInstance(HWND window, LPARAM);
inline constexpr UINT kWindowTextTimeoutMs = 2000;

// Sends argv[1..argc-1], each in the ANSI code page (ConvertToAnsi), back to back on one TCP
// connection to port 46001 of the loopback address ("localhost" looked up by name), then
// closes it.  0 when sent; -1 when Windows Sockets cannot start ("Failed to load Winsock
// library!" on standard output), no socket can be made, the name is not resolved, or no
// connection is made in kForwardAttempts attempts (each failure followed by RetryPauseMs()).
int ForwardArguments(wchar_t** argv, int argc);

// ---- first instance ---------------------------------------------------------------------------
// Record that configures one splash screen, fields in this order.
struct SplashParams {
  HWND parent;                // parent window; none
  HINSTANCE module;           // module of the window class and the window
  HINSTANCE resource_module;  // not consulted: the picture is read from the program's own module
  const char* resource_name;  // picture resource (type "SPLASH")
  WORD display_time;          // longest time up, milliseconds
  BOOL centre;                // non-zero: centred on the primary screen
  BOOL top_most;              // non-zero: top-most window
  BOOL wait;                  // non-zero: the starter waits for the splash thread to end
  int x, y;                   // centre point when `centre` is zero
};
// Starts the splash thread on a copy of `params` (a zeroed GlobalAlloc block the thread owns);
// returns at once unless params->wait is set.  No block, no splash.
void StartSplashScreen(const SplashParams* params);
inline constexpr const char kSplashWindowClass[] = "SplashScreenWndClass";

// Loads "jre\bin\client\jvm.dll", creates the virtual machine and runs the application's main
// class with the arguments after argv[0]; returns the process exit code (-1 without the runtime
// library; otherwise as RunJavaApplication in java_main.h).
int StartJavaApplication(HINSTANCE module, int argc, wchar_t** argv);

// The virtual-machine options for the arguments: the four fixed ones, then for each argument
// that names an existing path its short form (GetShortPathNameA of its ANSI form), with ".\"
// in front when it starts with '-' so that it can never be read as a switch.
std::vector<std::string> JvmOptionsFor(int argc, wchar_t** argv);

// The narrow form of a wide text in the thread's ANSI code page (characters it lacks become
// the code page's default character); empty for null.
std::string ConvertToAnsi(const wchar_t* text);

// One modal, top-most error box without an owner window, caption string 7 ("Error"), found
// through MessageBoxA in "user32".  When "user32" or MessageBoxA cannot be had the process
// ends with the non-continuable exception kNoUser32Exception / kNoMessageBoxException.
void ShowLaunchError(const char* text);
inline constexpr DWORD kNoUser32Exception = 0x05400010;
inline constexpr DWORD kNoMessageBoxException = 0x05400011;

}  // namespace lumara

#endif
