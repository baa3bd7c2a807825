# KQ-LumaraLink.exe: the launcher's Win32 layer (included by ../CMakeLists.txt in the Windows
# build).  The JNI headers are the host JDK's jni.h with the bridge's Windows jni_md.h; the
# runtime library is loaded by path at run time.
include(${PROJECT_SOURCE_DIR}/cmake/jdk.cmake)

add_library(kq-launcher-core STATIC
  settings.cpp
  java_main.cpp
  win/forward.cpp
  win/java_start.cpp
  win/splash.cpp)
target_include_directories(kq-launcher-core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}
  PRIVATE ${PROJECT_SOURCE_DIR}/connectivity/src/bridge/win)
target_include_directories(kq-launcher-core SYSTEM PRIVATE ${ZR_HOST_JNI_INCLUDE})
target_link_libraries(kq-launcher-core PUBLIC ws2_32 gdiplus ole32 shell32 user32 gdi32)

# The resources (icon group 1, the SPLASH picture, the string table) compiled by windres.
set(KQ_LAUNCHER_RC ${CMAKE_CURRENT_SOURCE_DIR}/win/launcher.rc)
set_source_files_properties(${KQ_LAUNCHER_RC} PROPERTIES
  OBJECT_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/resources/kq-lumaralink.ico;${CMAKE_CURRENT_SOURCE_DIR}/resources/splash.png")

add_executable(KQ-LumaraLink WIN32 win/main.cpp ${KQ_LAUNCHER_RC})
target_include_directories(KQ-LumaraLink PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/resources)
target_link_libraries(KQ-LumaraLink PRIVATE kq-launcher-core)
# The installation's top folder; the Java runtime goes into jre\ beside it (not built here).
install(TARGETS KQ-LumaraLink RUNTIME DESTINATION .)

if(ZR_BUILD_TESTS)
  add_subdirectory(tests/win)
endif()
