/*
 * qx-device.cpp -- the device natives: discovery, the liveness probe and the status
 * requests (information record, hardware version, display size, screen data).
 */
#include <cstring>

#include "qx-frame.h"

using namespace qx;

QX_NATIVE(jint, deviceInit)(JNIEnv *, jobject) { return KQ_ZR_en_init(); }

// Next handheld that answers the probe, handed to the descriptor's setters whatever the
// result.  The record starts cleared, so a handle that the library rejects before it
// touches the record still hands over address 0, group 0, slot 0 and no name.
QX_NATIVE(jint, deviceEnum)(JNIEnv *env, jobject, jint handle, jobject descriptor) {
  if (descriptor == nullptr) return NullArgument(env, "device descriptor");
  zr_enum_rec rec;
  std::memset(&rec, 0, sizeof rec);
  const int rc = KQ_ZR_en_enum(handle, &rec);
  if (CallSetter(env, descriptor, "setAddr", "(J)V", static_cast<jlong>(rec.addr)) &&
      CallSetter(env, descriptor, "setGroup", "(I)V", static_cast<jint>(rec.group)) &&
      CallSetter(env, descriptor, "setSlot", "(I)V", static_cast<jint>(rec.slot)) && rec.name != nullptr) {
    jstring name = NewJavaString(env, rec.name, std::strlen(rec.name));
    if (name != nullptr) {
      CallSetter(env, descriptor, "setName", "(Ljava/lang/String;)V", name);
      env->DeleteLocalRef(name);
    }
  }
  return rc;
}

QX_NATIVE(jint, deviceDone)(JNIEnv *, jobject, jint handle) { return KQ_ZR_en_done(handle); }

QX_NATIVE(jint, isDeviceStillResponsive)(JNIEnv *, jobject, jlong addr) { return KQ_ZR_en_ping(DeviceAddress(addr)); }

// The information record through the holder's setters (only after a successful request);
// storage figures in kilobytes.
QX_NATIVE(jint, getDeviceInfo)(JNIEnv *env, jobject, jlong addr, jobject holder) {
  if (holder == nullptr) return NullArgument(env, "information holder");
  zr_info info;
  std::memset(&info, 0, sizeof info);
  const int rc = KQ_ZR_sr_info(DeviceAddress(addr), 1, &info);
  if (rc == 0) {
    const jobject h = holder;
    const bool all_set =
        CallSetter(env, h, "setBatteryLevel", "(I)V", static_cast<jint>(info.bat[0])) &&
        CallSetter(env, h, "setInstallOSInfo", "(S)V", static_cast<jshort>(static_cast<int16_t>(info.ready[0]))) &&
        CallSetter(env, h, "setTotalMemoryKB", "(J)V", static_cast<jlong>(info.disk[0] / 1024u)) &&
        CallSetter(env, h, "setAvailableMemoryKB", "(J)V", static_cast<jlong>(info.disk[1] / 1024u)) &&
        CallSetter(env, h, "setOSInstallationSpaceDeficitKB", "(J)V", static_cast<jlong>(info.disk[2] / 1024u)) &&
        CallSetter(env, h, "setImageHeight", "(I)V", static_cast<jint>(info.sgeo[0])) &&
        CallSetter(env, h, "setImageWidth", "(I)V", static_cast<jint>(info.sgeo[1])) &&
        CallSetter(env, h, "setImageBitsPerPixel", "(I)V", static_cast<jint>(info.sgeo[2])) &&
        CallSetter(env, h, "setDisplaySize", "(J)V", static_cast<jlong>(info.scrn));
    if (all_set) {
      // The identification text is terminated only when it is shorter than its field.
      jstring serial = NewJavaString(env, info.eid, strnlen(info.eid, sizeof info.eid));
      if (serial != nullptr) {
        CallSetter(env, h, "setSerialNumber", "(Ljava/lang/String;)V", serial);
        env->DeleteLocalRef(serial);
      }
    }
  }
  Raise(env, SharedOutcome(rc));
  return rc;
}

// The four hardware version bytes into the array, zeros after a failure; only as many as
// the array holds.
QX_NATIVE(jint, getDeviceHardwareVersion)(JNIEnv *env, jobject, jlong addr, jbyteArray out) {
  if (out == nullptr) return NullArgument(env, "hardware version array");
  const jsize length = env->GetArrayLength(out);
  jbyte *elements = env->GetByteArrayElements(out, nullptr);
  if (elements == nullptr) return ZR_E_SOCKET;  // OutOfMemoryError is pending
  zr_info info;
  std::memset(&info, 0, sizeof info);
  const int rc = KQ_ZR_sr_info(DeviceAddress(addr), 1, &info);
  const jsize n = length < 4 ? length : 4;
  for (jsize i = 0; i < n; ++i) elements[i] = static_cast<jbyte>(info.hwv[i]);
  env->ReleaseByteArrayElements(out, elements, 0);
  Raise(env, SharedOutcome(rc));
  return rc;
}

// The screen size figure, as a signed 32-bit value, into element 0 when the array has one.
QX_NATIVE(jint, getDeviceDisplaySize)(JNIEnv *env, jobject, jlong addr, jlongArray out) {
  if (out == nullptr) return NullArgument(env, "display size array");
  const jsize length = env->GetArrayLength(out);
  jlong *elements = env->GetLongArrayElements(out, nullptr);
  if (elements == nullptr) return ZR_E_SOCKET;
  zr_info info;
  std::memset(&info, 0, sizeof info);
  const int rc = KQ_ZR_sr_info(DeviceAddress(addr), 1, &info);
  if (length >= 1) elements[0] = static_cast<jlong>(static_cast<int32_t>(info.scrn));
  env->ReleaseLongArrayElements(out, elements, 0);
  Raise(env, SharedOutcome(rc));
  return rc;
}

// Screen image bytes from the offset into the array.  The handheld is never asked for more
// than the array holds: a maximum of 0 (the whole image) or one beyond the array's length
// becomes the length.  An empty array takes nothing, so no request is made for it.
QX_NATIVE(jint, getDeviceDisplayDataArray)
(JNIEnv *env, jobject, jlong addr, jbyteArray out, jlong offset, jint maximum) {
  if (out == nullptr) return NullArgument(env, "display data array");
  const jsize length = env->GetArrayLength(out);
  int cap = maximum;
  if (maximum == 0 || maximum > length) cap = length;
  if (cap == 0) return 0;
  jbyte *elements = env->GetByteArrayElements(out, nullptr);
  if (elements == nullptr) return ZR_E_SOCKET;
  const int rc = KQ_ZR_sr_scrn(DeviceAddress(addr), elements, static_cast<uint32_t>(offset), cap);
  env->ReleaseByteArrayElements(out, elements, 0);
  Raise(env, SharedOutcome(rc));
  return rc;
}
