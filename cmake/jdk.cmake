# jdk.cmake -- the JDK, looked up in one place for the parts that need its JNI headers (the
# bridge, the launcher).  It is the JDK whose javac builds the application's classes: unless
# a JAVA_HOME is given, the folder above the real location of that javac.
#   Linux:   JNI_INCLUDE_DIRS and JAVA_JVM_LIBRARY (FindJNI), in the including folder's scope.
#   Windows: ZR_HOST_JAVAC and ZR_HOST_JNI_INCLUDE, the host JDK's javac and the folder of its
#            jni.h (the cross build compiles against them with the bridge's own jni_md.h).
if(WIN32)
  find_program(ZR_HOST_JAVAC javac REQUIRED)
  get_filename_component(_zr_javac "${ZR_HOST_JAVAC}" REALPATH)
  get_filename_component(_zr_jdk_bin "${_zr_javac}" DIRECTORY)
  get_filename_component(_zr_jdk "${_zr_jdk_bin}" DIRECTORY)
  set(ZR_HOST_JNI_INCLUDE "${_zr_jdk}/include" CACHE PATH "Folder of the host JDK's jni.h")
  if(NOT EXISTS "${ZR_HOST_JNI_INCLUDE}/jni.h")
    message(FATAL_ERROR "no jni.h in ${ZR_HOST_JNI_INCLUDE}")
  endif()
else()
  find_package(Java 17 REQUIRED COMPONENTS Development)
  if(NOT JAVA_HOME AND NOT DEFINED ENV{JAVA_HOME})
    get_filename_component(_zr_javac "${Java_JAVAC_EXECUTABLE}" REALPATH)
    get_filename_component(_zr_jdk_bin "${_zr_javac}" DIRECTORY)
    get_filename_component(JAVA_HOME "${_zr_jdk_bin}" DIRECTORY)
  endif()
  find_package(JNI REQUIRED)
endif()
