// java_start.cpp -- runs the Java desktop application inside this process.
//
// The runtime library is loaded by path at run time, the virtual machine created through the
// invocation interface with the fixed options (plus one per argument that names an existing
// path), and the application's static main called on this, the primary, thread.  The process's
// exit code is the result of the virtual machine's teardown.
#include <dlfcn.h>
#include <jni.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "launcher.h"

namespace lumara {

namespace {

constexpr const char kJvmLibrary[] = "jre/lib/server/libjvm.so";
constexpr const char kCreateEntry[] = "JNI_CreateJavaVM";
constexpr const char* kFixedOptions[] = {
    "-Djava.class.path=lib/qxconnect.jar:",
    "-Djava.library.path=lib",
    "-Xms24m",
    "-Xmx128m",
    // The application names its windows' X class itself (the toolkit's awtAppClassName).
    "--add-opens=java.desktop/sun.awt.X11=ALL-UNNAMED",
};
constexpr const char kStringClass[] = "java/lang/String";
constexpr const char kMainClass[] = "com/kq/vlx/qxconnect/ApplicationMain";
constexpr const char kMainMethod[] = "main";
constexpr const char kMainSignature[] = "([Ljava/lang/String;)V";

using CreateJavaVmEntry = jint(JNICALL*)(JavaVM**, void**, void*);

// Runtime binding and option list of the process (primary thread only).
CreateJavaVmEntry g_create_entry = nullptr;
JavaVM* g_vm = nullptr;
JNIEnv* g_env = nullptr;
std::vector<JavaVMOption> g_options;  // texts are heap copies that live until the process ends

void ShowString(int id) {
  const char* text = LoadLauncherString(id);
  if (text != nullptr) ShowLaunchError(text);
}

std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  path[n] = '\0';
  std::string folder(path);
  const auto slash = folder.rfind('/');
  return slash == std::string::npos ? std::string() : folder.substr(0, slash);
}

// Loads the runtime library: beside the launcher's own program first, then against the
// current folder.  0 when loaded (with or without the entry point), -1 when not.
int BindJavaRuntime(const char* relative) {
  g_create_entry = nullptr;
  g_vm = nullptr;
  g_env = nullptr;
  void* library = nullptr;
  const std::string beside = ProgramFolder();
  if (!beside.empty()) library = ::dlopen((beside + "/" + relative).c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (library == nullptr) library = ::dlopen((std::string("./") + relative).c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (library == nullptr) return -1;
  // The library is never unloaded.
  g_create_entry = reinterpret_cast<CreateJavaVmEntry>(::dlsym(library, kCreateEntry));
  return 0;
}

void AddJvmOption(const std::string& text) {
  JavaVMOption option{};
  option.optionString = ::strdup(text.c_str());
  option.extraInfo = nullptr;
  if (option.optionString != nullptr) g_options.push_back(option);
}

int CreateJavaVm(JavaVMInitArgs* args) {
  if (g_create_entry == nullptr) return -1;
  return g_create_entry(&g_vm, reinterpret_cast<void**>(&g_env), args);
}

jstring NewJavaString(JNIEnv* env, const char* text) {
  const std::u16string utf16 = Utf16FromUtf8(text);
  return env->NewString(reinterpret_cast<const jchar*>(utf16.data()), static_cast<jsize>(utf16.size()));
}

// 0 after main has returned normally, 1 when it ended by an exception (which is printed), -1 when
// the string class or the main class is missing, -2 when the class has no static main.
int RunApplicationMain(const char* main_class, int argc, char** argv) {
  JNIEnv* env = g_env;
  jclass string_class = env->FindClass(kStringClass);
  jclass app_class = env->FindClass(main_class);
  if (string_class == nullptr || app_class == nullptr) {
    env->ExceptionClear();
    return -1;
  }
  jmethodID main = env->GetStaticMethodID(app_class, kMainMethod, kMainSignature);
  if (main == nullptr) {
    env->ExceptionClear();
    return -2;
  }
  const jsize count = argc > 1 ? argc - 1 : 0;
  jobjectArray args = env->NewObjectArray(count, string_class, nullptr);
  if (args == nullptr) {
    env->ExceptionDescribe();
    env->ExceptionClear();
    return 1;
  }
  for (jsize i = 0; i < count; ++i) {
    jstring text = NewJavaString(env, argv[i + 1]);
    env->SetObjectArrayElement(args, i, text);
    env->DeleteLocalRef(text);
  }
  env->CallStaticVoidMethod(app_class, main, args);
  if (env->ExceptionCheck()) {
    // An application that ends by an exception has failed: say why, as the java command does.
    env->ExceptionDescribe();
    env->ExceptionClear();
    return 1;
  }
  return 0;
}

int DestroyJavaVm() {
  if (g_vm == nullptr) return -1;
  return g_vm->DestroyJavaVM();
}

}  // namespace

std::u16string Utf16FromUtf8(const std::string& text) {
  std::u16string out;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned c = s[i];
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (c < 0x80) {
      len = 1, cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07, min = 0x10000;
    }
    bool ok = len != 0 && i + len <= n;
    for (std::size_t k = 1; ok && k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) ok = false;
      else cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

std::vector<std::string> JvmOptionsFor(int argc, char** argv) {
  std::vector<std::string> options(std::begin(kFixedOptions), std::end(kFixedOptions));
  for (int i = 1; i < argc; ++i) {
    struct stat st {};
    // Only an argument that names an existing path becomes an option, as it stands; one that
    // starts with '-' gets "./" in front so that it still names that path and can never be read
    // as a virtual-machine switch.  Other arguments add nothing.
    if (argv[i][0] == '\0' || ::stat(argv[i], &st) != 0) continue;
    options.push_back(argv[i][0] == '-' ? std::string("./") + argv[i] : std::string(argv[i]));
  }
  return options;
}

int StartJavaApplication(int argc, char** argv) {
  if (BindJavaRuntime(kJvmLibrary) != 0) {
    ShowString(kStrNoJvmLibrary);
    return -1;
  }
  for (const auto& option : JvmOptionsFor(argc, argv)) AddJvmOption(option);

  JavaVMInitArgs init{};
  init.version = JNI_VERSION_1_4;
  init.nOptions = static_cast<jint>(g_options.size());
  init.options = g_options.data();
  init.ignoreUnrecognized = JNI_TRUE;
  const int created = CreateJavaVm(&init);
  if (created != 0) {
    const char* text = LoadLauncherString(kStrNoJvm);
    if (text == nullptr) return -3;
    ShowLaunchError(text);
    return created;
  }

  const int ran = RunApplicationMain(kMainClass, argc, argv);
  if (ran < 0) ShowString(kStrNoMainClass);
  const int destroyed = DestroyJavaVm();
  return destroyed == 0 && ran > 0 ? ran : destroyed;
}

}  // namespace lumara
