/*
 * qx-frame.cpp -- the bridge's frame: initAPI, exceptions, conversions, setter calls and the
 * progress relay.
 */
#include "qx-frame.h"

#include <chrono>
#include <cstdarg>
#include <string>

namespace qx {

const char kNotConnectedClass[] = "com/kq/vlx/qxconnect/app/DeviceNotConnectedException";
const char kGenericClass[] = "com/kq/vlx/qxconnect/app/GenericCommException";
const char kFileNotFoundClass[] = "com/kq/vlx/qxconnect/app/DeviceFileNotFoundException";
const char kFileXferClass[] = "com/kq/vlx/qxconnect/app/DeviceFileXferException";
const char kRenameClass[] = "com/kq/vlx/qxconnect/app/RenameFileException";
const char kDeleteClass[] = "com/kq/vlx/qxconnect/app/DeleteFileException";
const char kInstallOSClass[] = "com/kq/vlx/qxconnect/app/DeviceInstallOSException";

const char kNotConnectedKey[] = "Error.DeviceNotConnected";
const char kGenericKey[] = "Error.GenericCommFailure";

ProgressTarget g_progress = {nullptr, nullptr, nullptr, false, 0, 0};

bool IsNotConnected(int rc) { return rc == -ZR_S_NOT_CONNECTED || rc == ZR_E_TIMEOUT || rc == ZR_E_CONNECT; }

bool IsGenericCommFailure(int rc) {
  switch (rc) {
    case ZR_E_NOREPLY:
    case ZR_E_SHORT:
    case ZR_E_CUT:
    case -ZR_S_LINK_ABORTED:
    case -ZR_S_LINK_FAILED:
    case ZR_E_FLAGS:
    case ZR_E_SOCKET:
    case ZR_E_BIND: return true;
    default: return false;
  }
}

Outcome SharedOutcome(int rc) {
  if (IsNotConnected(rc)) return {kNotConnectedClass, kNotConnectedKey};
  if (IsGenericCommFailure(rc)) return {kGenericClass, kGenericKey};
  return kNoException;
}

bool ThrowJavaException(JNIEnv *env, const char *key, const char *cls) {
  jclass c = env->FindClass(cls);
  if (c == nullptr) return false;  // NoClassDefFoundError stays pending
  env->ThrowNew(c, key);
  env->DeleteLocalRef(c);
  return true;
}

void Raise(JNIEnv *env, Outcome outcome) {
  if (!outcome.raises() || env->ExceptionCheck()) return;
  // The class name and key are held as owned strings for the duration of the raise.
  const std::string key(outcome.key);
  const std::string cls(outcome.cls);
  ThrowJavaException(env, key.c_str(), cls.c_str());
}

int NullArgument(JNIEnv *env, const char *what) {
  if (!env->ExceptionCheck()) {
    jclass npe = env->FindClass("java/lang/NullPointerException");
    if (npe != nullptr) {
      const std::string message = std::string(what) + " is null";
      env->ThrowNew(npe, message.c_str());
      env->DeleteLocalRef(npe);
    }
  }
  return ZR_E_HANDLE;
}

JavaText::JavaText(JNIEnv *env, jstring s, const char *what) : env_(env), str_(s) {
  if (s == nullptr) {
    failure_ = NullArgument(env, what);
    return;
  }
  chars_ = env->GetStringUTFChars(s, nullptr);
  if (chars_ == nullptr) failure_ = ZR_E_SOCKET;  // OutOfMemoryError is pending
}

JavaText::~JavaText() { release(); }

void JavaText::release() {
  if (chars_ != nullptr) {
    env_->ReleaseStringUTFChars(str_, chars_);
    chars_ = nullptr;
  }
}

bool CallSetter(JNIEnv *env, jobject obj, const char *name, const char *sig, ...) {
  if (env->ExceptionCheck()) return false;
  jclass cls = env->GetObjectClass(obj);
  jmethodID m = env->GetMethodID(cls, name, sig);
  env->DeleteLocalRef(cls);
  if (m == nullptr) return false;  // NoSuchMethodError is pending
  va_list args;
  va_start(args, sig);
  env->CallVoidMethodV(obj, m, args);
  va_end(args);
  return !env->ExceptionCheck();
}

namespace {

// Appends one UTF-16 code unit sequence for a code point.
void append_code_point(std::u16string &out, uint32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

// Length of the valid UTF-8 sequence at p (with end e), and its code point; 0 when the
// bytes there do not form one.  The two-byte form of NUL (C0 80) of modified UTF-8 is
// accepted, and so are encoded surrogates (modified UTF-8 writes supplementary
// characters as two of them).
size_t decode_one(const unsigned char *p, const unsigned char *e, uint32_t &cp) {
  const unsigned char b = p[0];
  auto cont = [&](size_t i) { return p + i < e && (p[i] & 0xC0) == 0x80; };
  if (b < 0x80) {
    cp = b;
    return 1;
  }
  if (b == 0xC0 && cont(1) && p[1] == 0x80) {
    cp = 0;
    return 2;
  }
  if (b >= 0xC2 && b <= 0xDF && cont(1)) {
    cp = ((b & 0x1Fu) << 6) | (p[1] & 0x3Fu);
    return 2;
  }
  if (b >= 0xE0 && b <= 0xEF && cont(1) && cont(2)) {
    cp = ((b & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    return cp >= 0x800 ? 3 : 0;
  }
  if (b >= 0xF0 && b <= 0xF4 && cont(1) && cont(2) && cont(3)) {
    cp = ((b & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
    return (cp >= 0x10000 && cp <= 0x10FFFF) ? 4 : 0;
  }
  return 0;
}

}  // namespace

jstring NewJavaString(JNIEnv *env, const char *bytes, size_t length) {
  std::u16string text;
  text.reserve(length);
  const auto *p = reinterpret_cast<const unsigned char *>(bytes);
  const unsigned char *e = p + length;
  while (p < e) {
    uint32_t cp = 0;
    size_t n = decode_one(p, e, cp);
    if (n == 0) {
      cp = *p;  // a stray byte stands for the character of the same number
      n = 1;
    }
    append_code_point(text, cp);
    p += n;
  }
  return env->NewString(reinterpret_cast<const jchar *>(text.data()), static_cast<jsize>(text.size()));
}

int TransferPercentage(uint32_t done, uint32_t size) {
  if (size == 0) return 0;
  const uint64_t percent = static_cast<uint64_t>(done) * 100u / size;
  if (percent == 100) return 99;
  // Above 100 (a fetch may receive a little more than announced) the value is passed on
  // as computed; only a figure beyond the range of a Java int is held at its maximum.
  return percent > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(percent);
}

int InstallPercentage(int value) { return value >= 100 ? 99 : value; }

namespace {

// sendCallBack(percent) on the registered target; its Java result, or 1 (stop) when the
// call could not be made or threw, leaving that exception pending.
int relay(ProgressTarget &p, int percent) {
  JNIEnv *env = p.env;
  if (env->ExceptionCheck()) return 1;
  if (p.send_callback == nullptr) {
    jclass cls = env->GetObjectClass(p.target);
    p.send_callback = env->GetMethodID(cls, "sendCallBack", "(I)I");
    env->DeleteLocalRef(cls);
    if (p.send_callback == nullptr) return 1;  // NoSuchMethodError is pending
  }
  jint answer = env->CallIntMethod(p.target, p.send_callback, static_cast<jint>(percent));
  if (env->ExceptionCheck()) return 1;
  return answer;
}

int64_t monotonic_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int XferProgressCallback(int /*code*/, zr_xfer *xfer) {
  if (g_progress.env == nullptr || g_progress.target == nullptr || xfer == nullptr) return 0;
  ProgressTarget &p = g_progress;
  const int percent = TransferPercentage(xfer->done, xfer->size);
  const int64_t now = monotonic_ms();
  if (p.delivered && percent == p.last_percent && now - p.last_ms < kProgressRepeatMs) return 0;
  p.delivered = true;
  p.last_percent = percent;
  p.last_ms = now;
  return relay(p, percent);
}

int InstallProgressCallback(int value) {
  if (g_progress.env == nullptr || g_progress.target == nullptr) return 0;
  return relay(g_progress, InstallPercentage(value));
}

void NotifyCompletion(JNIEnv *env, jobject api) {
  if (env->ExceptionCheck()) return;
  jclass cls = env->GetObjectClass(api);
  jmethodID m = env->GetMethodID(cls, "sendCallBack", "(I)I");
  env->DeleteLocalRef(cls);
  if (m == nullptr) return;
  env->CallIntMethod(api, m, static_cast<jint>(100));
}

}  // namespace qx

using namespace qx;

// Starts the link library and sets the library-wide receive and send waits to 10 s, which
// every connection opened afterwards takes.  0, or -220 when the socket layer could not be
// started (the waits are set either way).
QX_NATIVE(jint, initAPI)(JNIEnv *, jobject) {
  const int rc = KQ_ZR_1b_init();
  zr_tune waits = {10000, 10000};
  KQ_ZR_sl_tune(2, &waits);
  return rc;
}
