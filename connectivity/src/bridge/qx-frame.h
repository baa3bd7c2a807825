/*
 * qx-frame.h -- what the natives of QXConJNI share: the conversion of Java values into the
 * link library's values and back, the two shared result-code classes and the helper that
 * raises a Java exception, the setter calls on the application's holder objects, and the
 * progress relay from the library's callbacks to ConnectivityAPI.sendCallBack.
 *
 * The natives run on the Java thread that calls them and are called one at a time; the
 * bridge takes no locks and caches nothing between calls.
 */
#ifndef QX_FRAME_H
#define QX_FRAME_H

#include <jni.h>

#include <cstddef>
#include <cstdint>

#include "com_kq_vlx_qxconnect_connectivity_ConnectivityAPI.h"  // written by javac
#include "zr-net.h"

// Every native is defined through this macro so that its name follows the JNI naming of
// the application's class and it is the only kind of symbol the library exports.  The
// header that javac writes declares them all, so their types are checked against the
// Java declarations.
#define QX_NATIVE(ret, method) \
  extern "C" JNIEXPORT ret JNICALL Java_com_kq_vlx_qxconnect_connectivity_ConnectivityAPI_##method

namespace qx {

// Java class names as the class lookup takes them.
extern const char kNotConnectedClass[];  // DeviceNotConnectedException
extern const char kGenericClass[];       // GenericCommException
extern const char kFileNotFoundClass[];  // DeviceFileNotFoundException
extern const char kFileXferClass[];      // DeviceFileXferException
extern const char kRenameClass[];        // RenameFileException
extern const char kDeleteClass[];        // DeleteFileException
extern const char kInstallOSClass[];     // DeviceInstallOSException

extern const char kNotConnectedKey[];  // "Error.DeviceNotConnected"
extern const char kGenericKey[];       // "Error.GenericCommFailure"

// An exception to raise for a result code: its class and its message key; an empty
// outcome (null class) raises nothing.
struct Outcome {
  const char *cls;
  const char *key;
  bool raises() const { return cls != nullptr; }
};
constexpr Outcome kNoException{nullptr, nullptr};

// The handheld is not (or no longer) reachable: its own "not connected" status, a time-out,
// or no connection.
bool IsNotConnected(int rc);
// The exchange failed on the way (no final reply, a short transfer, a listing entry cut
// off, the handheld's own communication failures, a socket failure or lost connection, no
// local port).
bool IsGenericCommFailure(int rc);
// The two shared classes in that order, or no exception.
Outcome SharedOutcome(int rc);

// Looks the class up by name and raises a new exception of it with the message key.
// False when the class cannot be found (the lookup's own error stays pending).
bool ThrowJavaException(JNIEnv *env, const char *key, const char *cls);
// Raises the outcome unless it is empty or a Java exception is already pending (an
// exception thrown by the application's own code is never replaced).
void Raise(JNIEnv *env, Outcome outcome);

// The library's device address: the low 32 bits of the Java long.
inline uint32_t DeviceAddress(jlong addr) { return static_cast<uint32_t>(static_cast<uint64_t>(addr)); }

// A failure of the bridge's own: a null argument that the application must never pass.
// Raises NullPointerException naming the argument and gives -223, the library's code for
// a missing record.
int NullArgument(JNIEnv *env, const char *what);

// The modified UTF-8 bytes of a Java string, NUL-terminated, released when it goes out of
// scope.  ok() is false when the string was null or the runtime could not provide the
// bytes; a Java exception is then pending.
class JavaText {
 public:
  JavaText(JNIEnv *env, jstring s, const char *what);
  ~JavaText();
  JavaText(const JavaText &) = delete;
  JavaText &operator=(const JavaText &) = delete;
  bool ok() const { return chars_ != nullptr; }
  const char *c_str() const { return chars_; }
  // Releases the bytes now (the natives release them at a fixed point of their work).
  void release();
  int failure() const { return failure_; }  // the result code that reports !ok()

 private:
  JNIEnv *env_;
  jstring str_;
  const char *chars_ = nullptr;
  int failure_ = 0;
};

// Calls a void setter on a holder object, found on the object's own class by name and
// signature.  Returns false, with the Java exception pending, when the setter cannot be
// found or threw: the caller then makes no further Java calls.
bool CallSetter(JNIEnv *env, jobject obj, const char *name, const char *sig, ...);

// A Java string from text that came from the handheld: UTF-8 (modified or standard) is
// decoded, and any byte that is not part of a valid sequence stands for the character of
// the same number, so that whatever bytes the handheld sends make a well-formed string.
// Null when the runtime could not make the string (its exception is pending).
jstring NewJavaString(JNIEnv *env, const char *bytes, size_t length);

// Progress registration: the environment and ConnectivityAPI object of the native that is
// running a transfer or an installation; all empty otherwise.
//
// A transfer calls back after every 1536-byte block, and a call into Java costs about as
// much as moving a block does over a fast link.  So sendCallBack is looked up once per
// registration (at its first progress call), and a transfer's percentage reaches it when it
// differs from the last one delivered, or when the last delivery is kProgressRepeatMs old:
// the application sees every percentage in order, and an answer that asks to stop is heard
// within that time.  The installation relays every value.
constexpr int64_t kProgressRepeatMs = 100;

struct ProgressTarget {
  JNIEnv *env;
  jobject target;
  jmethodID send_callback;  // null until the first progress call
  bool delivered;           // a percentage reached sendCallBack in this registration
  int last_percent;         // the last one that did
  int64_t last_ms;          // and when (monotonic milliseconds)
};
extern ProgressTarget g_progress;

// Registers the running native for the duration of one library call.
class ProgressScope {
 public:
  ProgressScope(JNIEnv *env, jobject target) { g_progress = {env, target, nullptr, false, 0, 0}; }
  ~ProgressScope() { end(); }
  ProgressScope(const ProgressScope &) = delete;
  ProgressScope &operator=(const ProgressScope &) = delete;
  void end() { g_progress = {nullptr, nullptr, nullptr, false, 0, 0}; }
};

// The percentages that reach sendCallBack during a transfer (done x 100 / size, 100
// becoming 99) and during an installation (100 and more becoming 99).
int TransferPercentage(uint32_t done, uint32_t size);
int InstallPercentage(int value);

// The zr_xfer_progress callback of the transfer natives and the zr_os_progress callback of
// the install native.  A nonzero result stops the library's work: the application asked to
// stop, or its sendCallBack threw (the exception stays pending for the native's caller).
// A transfer's repeated percentage within kProgressRepeatMs is answered 0 (go on) without
// calling Java.
int XferProgressCallback(int code, zr_xfer *xfer);
int InstallProgressCallback(int value);

// sendCallBack(100) on the ConnectivityAPI object: the end of a transfer or installation.
void NotifyCompletion(JNIEnv *env, jobject api);

}  // namespace qx

#endif
