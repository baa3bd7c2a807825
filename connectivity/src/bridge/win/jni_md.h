/* The machine-dependent JNI definitions for Windows x86-64, for the cross build of QXConJNI.dll
 * against a JDK that ships only the Linux ones.  jni.h includes this file; the types match a
 * Windows JVM's (LLP64: long is 32 bits there, so jint is long and jlong is __int64). */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#ifndef _WIN64
#error "this jni_md.h is for Windows x86-64 builds"
#endif

#ifndef JNIEXPORT
#define JNIEXPORT __declspec(dllexport)
#endif
#define JNIIMPORT __declspec(dllimport)
/* __stdcall is the only calling convention of x86-64 Windows and changes nothing there. */
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif /* !_JAVASOFT_JNI_MD_H_ */
