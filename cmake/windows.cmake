# What the Windows build adds to the common one (included by the top-level CMakeLists.txt).

# No Qt and no Google Benchmark for mingw-w64 here; the window on Windows is ui/win32/.
set(KALVO_QT OFF CACHE BOOL "Build the Qt window" FORCE)
set(KALVO_BENCH OFF CACHE BOOL "Build the benchmarks" FORCE)
set(KALVO_FUZZ OFF CACHE BOOL "Build the libFuzzer targets (clang)" FORCE)

# windows.h only in the Windows files of platform/ and ui/, without its min/max macros.
# The Microsoft printf knows no %zu: take mingw's own, and check formats against it.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0601
                        __USE_MINGW_ANSI_STDIO=1 KALVO_PRINTF=gnu_printf)

# timeBeginPeriod (winmm), the wide command line (shell32), the registry (advapi32) for the port
# table and the adapters' settings.
set(KALVO_OS_LIBS winmm shell32 advapi32)

# GoogleTest from Debian's source package: there is no mingw build of it.
set(KALVO_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows tests")

include(${CMAKE_CURRENT_LIST_DIR}/windows-dlls.cmake)
