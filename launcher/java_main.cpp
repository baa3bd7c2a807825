// java_main.cpp -- creates the virtual machine, runs the application's main, tears it down.
#include "java_main.h"

#include <cstring>

#include "launcher.h"

namespace lumara {

namespace {

// The process's virtual machine and the primary thread's environment (primary thread only).
JavaVM* g_vm = nullptr;
JNIEnv* g_env = nullptr;
// The option texts live until the process ends: the runtime may keep pointers to them.
std::vector<JavaVMOption> g_options;

void AddJvmOption(const std::string& text) {
  JavaVMOption option{};
  option.optionString = new char[text.size() + 1];
  std::memcpy(option.optionString, text.c_str(), text.size() + 1);
  option.extraInfo = nullptr;
  g_options.push_back(option);
}

int CreateJavaVm(CreateJavaVmEntry entry, JavaVMInitArgs* args) {
  if (entry == nullptr) return -1;
  return entry(&g_vm, reinterpret_cast<void**>(&g_env), args);
}

// 0 after main has returned normally, 1 when it ended by an exception (which is printed), -1 when
// the string class or the main class is missing, -2 when the class has no static main.
int RunApplicationMain(const char* main_class, const std::vector<std::u16string>& args) {
  JNIEnv* env = g_env;
  jclass string_class = env->FindClass(kJavaStringClass);
  jclass app_class = env->FindClass(main_class);
  if (string_class == nullptr || app_class == nullptr) {
    env->ExceptionClear();
    return -1;
  }
  jmethodID main = env->GetStaticMethodID(app_class, kJavaMainMethod, kJavaMainSignature);
  if (main == nullptr) {
    env->ExceptionClear();
    return -2;
  }
  jobjectArray array = env->NewObjectArray(static_cast<jsize>(args.size()), string_class, nullptr);
  if (array == nullptr) {
    env->ExceptionDescribe();
    env->ExceptionClear();
    return 1;
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    jstring text = env->NewString(reinterpret_cast<const jchar*>(args[i].data()), static_cast<jsize>(args[i].size()));
    env->SetObjectArrayElement(array, static_cast<jsize>(i), text);
    env->DeleteLocalRef(text);
  }
  env->CallStaticVoidMethod(app_class, main, array);
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

void ShowString(int id) {
  const char* text = LoadLauncherString(id);
  if (text != nullptr) ShowLaunchError(text);
}

}  // namespace

int RunJavaApplication(CreateJavaVmEntry entry, const std::vector<std::string>& options,
                       const std::vector<std::u16string>& args) {
  for (const auto& option : options) AddJvmOption(option);

  JavaVMInitArgs init{};
  init.version = JNI_VERSION_1_4;
  init.nOptions = static_cast<jint>(g_options.size());
  init.options = g_options.data();
  init.ignoreUnrecognized = JNI_TRUE;
  const int created = CreateJavaVm(entry, &init);
  if (created != 0) {
    const char* text = LoadLauncherString(kStrNoJvm);
    if (text == nullptr) return -3;
    ShowLaunchError(text);
    return created;
  }

  const int ran = RunApplicationMain(kJavaMainClass, args);
  if (ran < 0) ShowString(kStrNoMainClass);
  const int destroyed = DestroyJavaVm();
  return destroyed == 0 && ran > 0 ? ran : destroyed;
}

}  // namespace lumara
