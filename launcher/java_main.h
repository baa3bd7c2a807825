// java_main.h -- the Java application inside the launcher's process, once the platform layer
// has loaded the runtime library: the virtual machine's options, its creation, the call of the
// application's static main on the primary thread, and the teardown.
#ifndef KQ_LAUNCHER_JAVA_MAIN_H
#define KQ_LAUNCHER_JAVA_MAIN_H

#include <jni.h>

#include <string>
#include <vector>

namespace lumara {

// The runtime library's creation entry.
using CreateJavaVmEntry = jint(JNICALL*)(JavaVM**, void**, void*);

// Creates the process's one virtual machine through `entry` (null when the library has none)
// with `options` (JNI 1.4, unrecognised options ignored), runs the main class's
// main(String[]) with `args` and destroys the virtual machine again.  Everything runs on the
// calling thread, which becomes the application's main thread.  Failures show an error box
// (ShowLaunchError, texts from LoadLauncherString of the platform layer).
//
// Returns the process exit code:
//   creation failed         the creation's result (-1 without an entry); -3 when text 6 is missing
//   main class or main missing  box 5, then the teardown's result
//   main ended by an exception  the exception is printed; 1 (the teardown's result if not 0)
//   main returned           the teardown's result (0)
int RunJavaApplication(CreateJavaVmEntry entry, const std::vector<std::string>& options,
                       const std::vector<std::u16string>& args);

}  // namespace lumara

#endif
