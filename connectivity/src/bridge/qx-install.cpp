/*
 * qx-install.cpp -- installOS: the handheld installs a new operating system image while its
 * progress reaches the application; afterwards the completion notice or an installation
 * exception read from the handheld's error word.
 */
#include "qx-frame.h"

using namespace qx;

namespace {

// The handheld reports a failed installation as a negative value whose low 16 bits are an
// error word: bit 15 marks the failure, the low bits give the reason.
Outcome install_word_outcome(int rc) {
  const unsigned word = static_cast<unsigned>(rc) & 0xFFFFu;
  const char *key = "Error.DeviceInstallOS.Busy";
  if (word & 0x0008u)
    key = "Error.DeviceInstallOS.BatteryLow";
  else if (word & 0x0002u)
    key = "Error.DeviceInstallOS.DiskFull";
  else if (word & 0x0001u)
    key = "Error.DeviceInstallOS.Busy";
  else if (word & (0x0020u | 0x0004u | 0x0010u | 0x0080u))
    key = "Error.DeviceInstallOS.BadFile";
  return {kInstallOSClass, key};
}

// Null: no exception, the completion notice follows.
Outcome install_outcome(int rc) {
  if (Outcome shared = SharedOutcome(rc); shared.raises()) return shared;
  // The library's own codes are not error words and are reported for what they are.
  switch (rc) {
    case ZR_E_CANCELLED:  // the application stopped the installation: like a cancelled transfer
      return kNoException;
    case ZR_E_COMMAND:  // the image name does not fit in a command
      return {kInstallOSClass, "Error.DeviceInstallOS.BadFile"};
    case ZR_E_STATUS:  // the handheld's reply could not be read
      return {kGenericClass, kGenericKey};
    default: break;
  }
  if ((static_cast<unsigned>(rc) & 0x8000u) == 0) return kNoException;
  return install_word_outcome(rc);
}

}  // namespace

QX_NATIVE(jint, installOS)(JNIEnv *env, jobject api, jlong addr, jstring /*unused*/, jstring image_s) {
  JavaText image(env, image_s, "image name");
  if (!image.ok()) return image.failure();
  int rc;
  {
    ProgressScope progress(env, api);
    rc = KQ_ZR_os_upg(DeviceAddress(addr), image.c_str(), "-", InstallProgressCallback);
    progress.end();
  }
  image.release();
  const Outcome outcome = install_outcome(rc);
  if (outcome.raises())
    Raise(env, outcome);
  else
    NotifyCompletion(env, api);
  return rc;
}
