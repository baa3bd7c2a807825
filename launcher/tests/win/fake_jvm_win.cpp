// A Java runtime stand-in for the launcher's Windows tests ("jre\bin\client\jvm.dll").
//
// No Windows JVM can run here, so this DLL plays the runtime and the application: its
// JNI_CreateJavaVM hands out an environment whose few functions the launcher uses, and "main"
// does what the environment of the process asks:
//   KQ_FAKE_JVM_LOG            file that receives "option <text>", "arg <UTF-8 text>", "main",
//                              "ready", "forwarded <hex bytes>" and "destroy" lines
//   KQ_FAKE_JVM_CREATE_RESULT  non-zero: JNI_CreateJavaVM fails with this value
//   KQ_FAKE_JVM_NO_MAIN_CLASS  set: the application's main class is not found (no jar)
//   KQ_FAKE_JVM_THROW          set: main ends by an exception
//   KQ_FAKE_JVM_DESTROY_RESULT DestroyJavaVM's result (0)
//   KQ_FAKE_JVM_WAIT_MS        main waits this long before it returns (without a window)
//   KQ_FAKE_JVM_WINDOW_MS      main opens the application's main window after this long,
//                              listens on 127.0.0.1:46001 for forwarded arguments, and returns
//                              when the window is closed
// Built without KQ_FAKE_JVM_ENTRY it has no creation entry at all.
#include <winsock2.h>
#include <windows.h>

#include <jni.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef KQ_FAKE_JVM_ENTRY
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}
int EnvInt(const char* name, int fallback) {
  const std::string text = Env(name);
  return text.empty() ? fallback : std::atoi(text.c_str());
}

CRITICAL_SECTION g_log_lock;
void Log(const std::string& line) {
  const std::string path = Env("KQ_FAKE_JVM_LOG");
  if (path.empty()) return;
  EnterCriticalSection(&g_log_lock);
  if (FILE* f = std::fopen(path.c_str(), "ab")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
  LeaveCriticalSection(&g_log_lock);
}

std::string Utf8(const std::u16string& text) {
  const auto* wide = reinterpret_cast<const wchar_t*>(text.c_str());
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n : 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, &out[0], n, nullptr, nullptr);
  out.resize(n > 0 ? n - 1 : 0);
  return out;
}

// The objects the launcher sees are addresses of these.
struct FakeObject {
  int kind;
};
FakeObject g_string_class{1}, g_main_class{2};
struct FakeString : FakeObject {
  std::u16string text;
};
struct FakeArray : FakeObject {
  std::vector<std::u16string> items;
};
int g_main_method_tag;
bool g_exception_pending = false;

// ---- the application's stand-in main -------------------------------------------------------
DWORD WINAPI ListenThread(LPVOID listener_ptr) {
  SOCKET listener = reinterpret_cast<SOCKET>(listener_ptr);
  for (;;) {
    SOCKET s = accept(listener, nullptr, nullptr);
    if (s == INVALID_SOCKET) return 0;
    std::string bytes;
    char buffer[4096];
    int n;
    while ((n = recv(s, buffer, sizeof buffer, 0)) > 0) bytes.append(buffer, n);
    closesocket(s);
    std::string hex;
    char two[3];
    for (unsigned char c : bytes) {
      std::snprintf(two, sizeof two, "%02x", c);
      hex += two;
    }
    Log("forwarded " + hex);
  }
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

void RunWindowedApplication(int delay_ms) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(46001);
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(listener, 8) != 0) {
    Log("listen failed");
    return;
  }
  CloseHandle(CreateThread(nullptr, 0, ListenThread, reinterpret_cast<LPVOID>(listener), 0, nullptr));

  Sleep(static_cast<DWORD>(delay_ms));
  WNDCLASSW wc{};
  wc.lpfnWndProc = MainWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = L"com.kq.vlx.qxconnect.gui.MainFrame";
  RegisterClassW(&wc);
  HWND window = CreateWindowW(wc.lpszClassName, L"Orvane-Connect - test application", WS_OVERLAPPEDWINDOW, 40, 40, 400,
                              300, nullptr, nullptr, wc.hInstance, nullptr);
  ShowWindow(window, SW_SHOW);
  Log("ready");
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  closesocket(listener);
}

// ---- the environment's functions -----------------------------------------------------------
jclass JNICALL FindClass(JNIEnv*, const char* name) {
  if (std::string(name) == "java/lang/String") return reinterpret_cast<jclass>(&g_string_class);
  if (std::string(name) == "com/kq/vlx/qxconnect/ApplicationMain" && Env("KQ_FAKE_JVM_NO_MAIN_CLASS").empty())
    return reinterpret_cast<jclass>(&g_main_class);
  g_exception_pending = true;  // NoClassDefFoundError
  return nullptr;
}
jmethodID JNICALL GetStaticMethodID(JNIEnv*, jclass cls, const char* name, const char* sig) {
  if (cls == reinterpret_cast<jclass>(&g_main_class) && std::string(name) == "main" &&
      std::string(sig) == "([Ljava/lang/String;)V")
    return reinterpret_cast<jmethodID>(&g_main_method_tag);
  g_exception_pending = true;
  return nullptr;
}
jobjectArray JNICALL NewObjectArray(JNIEnv*, jsize n, jclass, jobject) {
  auto* array = new FakeArray{};
  array->kind = 3;
  array->items.resize(static_cast<std::size_t>(n));
  return reinterpret_cast<jobjectArray>(array);
}
jstring JNICALL NewString(JNIEnv*, const jchar* chars, jsize n) {
  auto* s = new FakeString{};
  s->kind = 4;
  s->text.assign(reinterpret_cast<const char16_t*>(chars), static_cast<std::size_t>(n));
  return reinterpret_cast<jstring>(s);
}
void JNICALL SetObjectArrayElement(JNIEnv*, jobjectArray array, jsize i, jobject value) {
  reinterpret_cast<FakeArray*>(array)->items.at(static_cast<std::size_t>(i)) =
      reinterpret_cast<FakeString*>(value)->text;
}
void JNICALL DeleteLocalRef(JNIEnv*, jobject object) {
  auto* o = reinterpret_cast<FakeObject*>(object);
  if (o != nullptr && o->kind == 4) delete reinterpret_cast<FakeString*>(o);
}
jboolean JNICALL ExceptionCheck(JNIEnv*) { return g_exception_pending ? JNI_TRUE : JNI_FALSE; }
void JNICALL ExceptionClear(JNIEnv*) { g_exception_pending = false; }
void JNICALL ExceptionDescribe(JNIEnv*) {
  if (g_exception_pending) Log("exception described");
}

// main(String[]) of the stand-in application (the C++ interface calls the va_list form).
void JNICALL RunMainV(JNIEnv*, jclass, jmethodID, va_list list) {
  auto* array = reinterpret_cast<FakeArray*>(va_arg(list, jobjectArray));
  Log("main");
  for (const auto& item : array->items) Log("arg " + Utf8(item));
  if (!Env("KQ_FAKE_JVM_THROW").empty()) {
    g_exception_pending = true;
    return;
  }
  if (!Env("KQ_FAKE_JVM_WINDOW_MS").empty()) {
    RunWindowedApplication(EnvInt("KQ_FAKE_JVM_WINDOW_MS", 0));
    return;
  }
  Sleep(static_cast<DWORD>(EnvInt("KQ_FAKE_JVM_WAIT_MS", 0)));
}
void JNICALL RunMain(JNIEnv* env, jclass cls, jmethodID method, ...) {
  va_list list;
  va_start(list, method);
  RunMainV(env, cls, method, list);
  va_end(list);
}

JNINativeInterface_ g_functions;
JNIEnv_ g_env;
JNIInvokeInterface_ g_invoke;
JavaVM_ g_vm;

jint JNICALL DestroyJavaVM(JavaVM*) {
  Log("destroy");
  return EnvInt("KQ_FAKE_JVM_DESTROY_RESULT", 0);
}

}  // namespace

// jni.h declares the entry as imported; here it is the one exported.
#pragma GCC diagnostic ignored "-Wattributes"
extern "C" __declspec(dllexport) jint JNICALL JNI_CreateJavaVM(JavaVM** vm, void** env, void* args) {
  InitializeCriticalSection(&g_log_lock);
  const auto* init = static_cast<const JavaVMInitArgs*>(args);
  char head[64];
  std::snprintf(head, sizeof head, "create version=%x ignore=%d", static_cast<unsigned>(init->version),
                init->ignoreUnrecognized);
  Log(head);
  for (jint i = 0; i < init->nOptions; ++i) Log(std::string("option ") + init->options[i].optionString);
  const int result = EnvInt("KQ_FAKE_JVM_CREATE_RESULT", 0);
  if (result != 0) return result;

  g_functions.FindClass = FindClass;
  g_functions.GetStaticMethodID = GetStaticMethodID;
  g_functions.NewObjectArray = NewObjectArray;
  g_functions.NewString = NewString;
  g_functions.SetObjectArrayElement = SetObjectArrayElement;
  g_functions.DeleteLocalRef = DeleteLocalRef;
  g_functions.CallStaticVoidMethod = RunMain;
  g_functions.CallStaticVoidMethodV = RunMainV;
  g_functions.ExceptionCheck = ExceptionCheck;
  g_functions.ExceptionClear = ExceptionClear;
  g_functions.ExceptionDescribe = ExceptionDescribe;
  g_env.functions = &g_functions;
  g_invoke.DestroyJavaVM = DestroyJavaVM;
  g_vm.functions = &g_invoke;
  *vm = &g_vm;
  *env = &g_env;
  return 0;
}

#else
extern "C" __declspec(dllexport) int kq_fake_jvm_without_entry() { return 0; }
#endif
