// A Java runtime library stand-in whose creation entry fails (or, built without
// KQ_FAKE_JVM_ENTRY, that has no creation entry at all).
#ifdef KQ_FAKE_JVM_ENTRY
extern "C" __attribute__((visibility("default"))) int JNI_CreateJavaVM(void**, void**, void*) {
  return -6;  // JNI_EINVAL
}
#else
extern "C" __attribute__((visibility("default"))) int kq_fake_jvm_without_entry() { return 0; }
#endif
