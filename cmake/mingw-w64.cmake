# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the POSIX thread variant: the
# kernel needs std::thread and std::mutex). Libraries Debian has no mingw build of come from
# scripts/windows-deps, installed under KOVA_WINDOWS_DEPS. Programs are linked statically so
# that they run under Wine, or on a bare Windows server, without the compiler's DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)

if(NOT KOVA_WINDOWS_DEPS)
    if(DEFINED ENV{KOVA_WINDOWS_DEPS})
        set(KOVA_WINDOWS_DEPS "$ENV{KOVA_WINDOWS_DEPS}")
    else()
        set(KOVA_WINDOWS_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build/windows-deps/prefix")
    endif()
endif()
get_filename_component(KOVA_WINDOWS_DEPS "${KOVA_WINDOWS_DEPS}" ABSOLUTE)
set(KOVA_WINDOWS_DEPS "${KOVA_WINDOWS_DEPS}" CACHE PATH "Prefix of the Windows builds of the libraries")

set(CMAKE_FIND_ROOT_PATH "${KOVA_WINDOWS_DEPS}" /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must look at the Windows libraries only, never at the host's.
set(ENV{PKG_CONFIG_LIBDIR} "${KOVA_WINDOWS_DEPS}/lib/pkgconfig:/usr/${triple}/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/mingw-w64-rules.cmake")

# Test programs and the end-to-end tests run under Wine.
find_program(KOVA_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KOVA_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run;${KOVA_WINE}")
endif()
