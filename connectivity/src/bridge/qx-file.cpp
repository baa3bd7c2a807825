/*
 * qx-file.cpp -- the file natives: listings, attributes, transfers both ways with progress,
 * copy, move, delete and folders.  Each native has its own table from result codes to the
 * application's exceptions; a code that a table does not name is only returned.
 */
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "qx-frame.h"

using namespace qx;

namespace {

constexpr uint32_t kProgressStep = 500;  // bytes between progress calls
constexpr int kNameBuffer = 512;         // listing name buffer, NUL included

Outcome xfer(const char *key) { return {kFileXferClass, key}; }
Outcome rename_error(const char *key) { return {kRenameClass, key}; }

Outcome send_outcome(int rc) {
  if (IsNotConnected(rc)) return SharedOutcome(rc);
  switch (rc) {
    case -ZR_S_NOT_ALLOWED: return xfer("Error.DeviceFileXfer.PermissionDenied");
    case ZR_E_HOSTFILE: return xfer("Error.DeviceFileXfer.HostIOFailed");
    case -ZR_S_NO_ROOM:
    case ZR_E_SHORT: return xfer("Error.DeviceFileXfer.DeviceDiskFull");
    case ZR_E_COMMAND: return xfer("Error.DeviceFileXfer.Send.BadPath");
    case -ZR_S_TOO_LONG: return xfer("Error.DeviceFileXfer.PathTooLong");
    default: return SharedOutcome(rc);  // the rest of the generic class (ZR_E_SHORT is above)
  }
}

Outcome get_outcome(int rc) {
  if (Outcome shared = SharedOutcome(rc); shared.raises()) return shared;
  switch (rc) {
    case -ZR_S_NOT_ALLOWED: return xfer("Error.DeviceFileXfer.PermissionDenied");
    case ZR_E_HOSTFILE: return xfer("Error.DeviceFileXfer.HostIOFailed");
    case ZR_E_COMMAND: return xfer("Error.DeviceFileXfer.Get.BadPath");
    default: return kNoException;
  }
}

Outcome copy_outcome(int rc) {
  if (Outcome shared = SharedOutcome(rc); shared.raises()) return shared;
  switch (rc) {
    case -ZR_S_NOT_ALLOWED: return xfer("Error.DeviceFileXfer.PermissionDenied");
    case -ZR_S_NO_ROOM: return xfer("Error.DeviceFileXfer.DeviceDiskFull");
    case ZR_E_COMMAND: return xfer("Error.DeviceFileXfer.Copy.BadPath");
    case -ZR_S_TOO_LONG: return xfer("Error.DeviceFileXfer.PathTooLong");
    default: return kNoException;
  }
}

Outcome move_outcome(int rc) {
  if (Outcome shared = SharedOutcome(rc); shared.raises()) return shared;
  switch (rc) {
    case -ZR_S_NO_ROOM: return rename_error("Error.Rename.DeviceDiskFull");
    case -ZR_S_NOT_ALLOWED:
    case ZR_E_COMMAND: return rename_error("Error.RenameBadChars");
    case -ZR_S_TOO_LONG: return rename_error("Error.RenamePathTooLong");
    case -ZR_S_EXISTS: return rename_error("Error.RenameAlreadyExists");
    default: return rc < 0 ? rename_error("Error.RenameFailed") : kNoException;
  }
}

// delete, mkDir and rmDir share their table but for the last row, which only delete has.
Outcome path_outcome(int rc, bool is_delete) {
  if (Outcome shared = SharedOutcome(rc); shared.raises()) return shared;
  if (rc == -ZR_S_NOT_FOUND) return {kFileNotFoundClass, "Error.DeviceFileNotFound"};
  if (rc < 0 && is_delete) return {kDeleteClass, "Error.DeleteFileFailed"};
  return kNoException;
}

// The attribute holder's setters, in the order size, folder flag, date.
void set_attributes(JNIEnv *env, jobject holder, const zr_attr &a) {
  if (!CallSetter(env, holder, "setSize", "(J)V", static_cast<jlong>(a.size))) return;
  if (!CallSetter(env, holder, "setIsFolder", "(Z)V", static_cast<jboolean>((a.type & 0xFF) != 0))) return;
  CallSetter(env, holder, "setDate", "(J)V", static_cast<jlong>(a.time));
}

// A transfer in either direction: progress reaches sendCallBack while the library works;
// afterwards the table's exception, or the completion notice.
jint transfer(JNIEnv *env, jobject api, jlong addr, int direction, jstring remote_s, jstring local_s,
              const char *remote_what, const char *local_what, Outcome (*table)(int)) {
  JavaText remote(env, remote_s, remote_what);
  if (!remote.ok()) return remote.failure();
  JavaText local(env, local_s, local_what);
  if (!local.ok()) return local.failure();
  int rc;
  {
    ProgressScope progress(env, api);
    rc = KQ_ZR_fm_xfer(DeviceAddress(addr), direction, remote.c_str(), local.c_str(), kProgressStep,
                       XferProgressCallback, 0);
    progress.end();
  }
  remote.release();
  local.release();
  const Outcome outcome = table(rc);
  if (outcome.raises())
    Raise(env, outcome);
  else
    NotifyCompletion(env, api);
  return rc;
}

jint single_path(JNIEnv *env, jlong addr, unsigned op, jstring path_s, bool is_delete) {
  JavaText path(env, path_s, "path");
  if (!path.ok()) return path.failure();
  const int rc = KQ_ZR_fm_fileop(DeviceAddress(addr), op, path.c_str(), nullptr);
  Raise(env, path_outcome(rc, is_delete));
  path.release();
  return rc;
}

}  // namespace

QX_NATIVE(jint, sendFile)(JNIEnv *env, jobject api, jlong addr, jstring host_file, jstring device_path) {
  return transfer(env, api, addr, ZR_FM_PUT, device_path, host_file, "device path", "host file", send_outcome);
}

QX_NATIVE(jint, getFile)(JNIEnv *env, jobject api, jlong addr, jstring device_path, jstring host_file) {
  return transfer(env, api, addr, ZR_FM_GET, device_path, host_file, "device path", "host file", get_outcome);
}

QX_NATIVE(jint, copyFile)(JNIEnv *env, jobject api, jlong addr, jstring source_s, jstring destination_s) {
  JavaText source(env, source_s, "source");
  if (!source.ok()) return source.failure();
  JavaText destination(env, destination_s, "destination");
  if (!destination.ok()) return destination.failure();
  const int rc = KQ_ZR_fm_fileop(DeviceAddress(addr), ZR_FM_COPY, source.c_str(), destination.c_str());
  source.release();
  destination.release();
  const Outcome outcome = copy_outcome(rc);
  if (outcome.raises())
    Raise(env, outcome);
  else
    NotifyCompletion(env, api);
  return rc;
}

QX_NATIVE(jint, moveFile)(JNIEnv *env, jobject, jlong addr, jstring source_s, jstring destination_s) {
  JavaText source(env, source_s, "source");
  if (!source.ok()) return source.failure();
  JavaText destination(env, destination_s, "destination");
  if (!destination.ok()) return destination.failure();
  const int rc = KQ_ZR_fm_fileop(DeviceAddress(addr), ZR_FM_MOVE, source.c_str(), destination.c_str());
  source.release();
  destination.release();
  Raise(env, move_outcome(rc));
  return rc;
}

QX_NATIVE(jint, delete)(JNIEnv *env, jobject, jlong addr, jstring path) {
  return single_path(env, addr, ZR_FM_DEL, path, true);
}

QX_NATIVE(jint, mkDir)(JNIEnv *env, jobject, jlong addr, jstring path) {
  return single_path(env, addr, ZR_FM_MKDIR, path, false);
}

QX_NATIVE(jint, rmDir)(JNIEnv *env, jobject, jlong addr, jstring path) {
  return single_path(env, addr, ZR_FM_RMDIR, path, false);
}

QX_NATIVE(jint, fileAttrs)(JNIEnv *env, jobject, jlong addr, jstring path_s, jobject holder) {
  if (holder == nullptr) return NullArgument(env, "attribute holder");
  JavaText path(env, path_s, "path");
  if (!path.ok()) return path.failure();
  zr_attr a;
  std::memset(&a, 0, sizeof a);
  const int rc = KQ_ZR_fm_dirattr(DeviceAddress(addr), path.c_str(), &a);
  if (rc >= 0)
    set_attributes(env, holder, a);
  else if (rc == -ZR_S_NOT_FOUND)
    Raise(env, {kFileNotFoundClass, "Error.DeviceFileNotFound"});
  else
    Raise(env, SharedOutcome(rc));
  path.release();
  return rc;
}

// Opens a listing; the handle, or a negative code.  Every call leaves a diagnostic on
// standard output: the library's last socket error and the errno that the bridge sees.
QX_NATIVE(jint, dirinit)(JNIEnv *env, jobject, jlong addr, jstring path_s) {
  JavaText path(env, path_s, "path");
  if (!path.ok()) return path.failure();
  const int rc = KQ_ZR_fm_dirinit(DeviceAddress(addr), path.c_str());
  const int runtime_errno = errno;
  std::printf("**********************************\nh_errno is %d\nerrno is %d\n", KQ_ZR_errno(), runtime_errno);
  std::fflush(stdout);
  path.release();
  if (rc == -ZR_S_NOT_FOUND) Raise(env, {kFileNotFoundClass, "Error.DeviceFileNotFound"});
  return rc;
}

// The next entry's name, its attributes through the holder; null at the end of the listing
// and after a failure (which raises).
QX_NATIVE(jstring, direnum)(JNIEnv *env, jobject, jint handle, jobject holder) {
  if (holder == nullptr) {
    NullArgument(env, "attribute holder");
    return nullptr;
  }
  char name[kNameBuffer];
  std::memset(name, 0, sizeof name);
  zr_attr a;
  std::memset(&a, 0, sizeof a);
  const int rc = KQ_ZR_fm_direnum(handle, name, kNameBuffer, &a);
  if (rc > 0) {
    set_attributes(env, holder, a);
    if (env->ExceptionCheck()) return nullptr;
    return NewJavaString(env, name, strnlen(name, sizeof name));
  }
  if (rc == ZR_E_END) return nullptr;
  Raise(env,
        IsGenericCommFailure(rc) ? Outcome{kGenericClass, kGenericKey} : Outcome{kNotConnectedClass, kNotConnectedKey});
  return nullptr;
}

QX_NATIVE(jint, dirdone)(JNIEnv *, jobject, jint handle) { return KQ_ZR_fm_dirdone(handle); }
