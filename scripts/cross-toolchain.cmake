# Cross build for one Debian architecture, with the Debian cross compiler and a sysroot that
# scripts/cross-test.sh unpacks from the target's packages (nothing of the target is installed
# on the build machine). The C library and libstdc++ are those of the cross toolchain, in its
# own /usr/<triplet>; the sysroot adds the headers and libraries of the other dependencies.
# Variables (on the command line): PANELCFG_CROSS_TRIPLET (aarch64-linux-gnu, ...),
# PANELCFG_CROSS_QEMU (aarch64, arm, s390x), PANELCFG_CROSS_SYSROOT (absolute path).
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PANELCFG_CROSS_TRIPLET PANELCFG_CROSS_QEMU
                                         PANELCFG_CROSS_SYSROOT)
foreach(var IN LISTS CMAKE_TRY_COMPILE_PLATFORM_VARIABLES)
  if(NOT ${var})
    message(FATAL_ERROR "cross-toolchain.cmake: ${var} is not set")
  endif()
endforeach()
set(triplet ${PANELCFG_CROSS_TRIPLET})
set(sysroot ${PANELCFG_CROSS_SYSROOT})

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${triplet})
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})

# Libraries, headers and CMake packages only from the sysroot (or the toolchain's own
# directory, which the compiler searches by itself); programs from the build machine.
set(CMAKE_FIND_ROOT_PATH ${sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The sysroot's headers come after the toolchain's (it holds no C library headers), and the
# linker finds the libraries that the sysroot's libraries need in turn.
set(CMAKE_C_FLAGS_INIT "-idirafter ${sysroot}/usr/include -idirafter ${sysroot}/usr/include/${triplet}")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}")
set(rpath_link "-Wl,-rpath-link,${sysroot}/usr/lib/${triplet}:${sysroot}/lib/${triplet}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${rpath_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${rpath_link}")

# pkg-config reads the sysroot's .pc files only and prefixes their paths with the sysroot.
set(ENV{PKG_CONFIG_LIBDIR} "${sysroot}/usr/lib/${triplet}/pkgconfig:${sysroot}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${sysroot}")
set(ENV{PKG_CONFIG_PATH} "")

# CTest (and the discovery of the GoogleTest cases) runs the target's programs under qemu-user,
# its file names resolved in the sysroot first.
find_program(PANELCFG_QEMU NAMES qemu-${PANELCFG_CROSS_QEMU}-static qemu-${PANELCFG_CROSS_QEMU}
             REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PANELCFG_QEMU} -L ${sysroot})
