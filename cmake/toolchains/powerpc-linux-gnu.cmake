# Cross build for the target: 32-bit big-endian PowerPC Linux, with Debian's
# g++-powerpc-linux-gnu. Tests run under qemu-user with the toolchain's
# PowerPC sysroot, so `ctest` runs the same suite as on the build host.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
# Debian's multiarch folder, which GNUInstallDirs picks only for native
# builds: libraries and the pkg-config file go to lib/powerpc-linux-gnu, as
# Debian's own do.
set(CMAKE_INSTALL_LIBDIR lib/powerpc-linux-gnu CACHE PATH "Object code libraries")

set(MARL_PPC_SYSROOT /usr/powerpc-linux-gnu CACHE PATH "PowerPC sysroot of the cross toolchain")
set(CMAKE_FIND_ROOT_PATH ${MARL_PPC_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L ${MARL_PPC_SYSROOT})

# Debian's name for the target, for the packages that `cpack -G DEB` builds.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE powerpc)
