// The Windows JNI types must have the sizes a Windows JVM gives them; a jni_md.h that got them
// wrong would build and then corrupt every call.
#include <jni.h>

static_assert(sizeof(jbyte) == 1 && static_cast<jbyte>(-1) < 0, "jbyte is a signed byte");
static_assert(sizeof(jint) == 4, "jint is 32 bits");
static_assert(sizeof(jlong) == 8, "jlong is 64 bits");
static_assert(sizeof(jchar) == 2 && sizeof(jshort) == 2, "jchar and jshort are 16 bits");
static_assert(sizeof(jfloat) == 4 && sizeof(jdouble) == 8, "floating-point types");
static_assert(sizeof(jsize) == sizeof(jint), "jsize is a jint");
