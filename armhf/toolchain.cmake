# CMake toolchain for 32-bit ARM hard-float (armhf) Linux, the boards' platform: Debian's cross
# compiler (g++-arm-linux-gnueabihf) with the armhf libraries and headers that Debian's multiarch
# packages put on this machine (libpython3-dev:armhf, libgtest-dev:armhf). Python headers and the
# extension suffix cannot be asked of an interpreter that does not run here, so they are given.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Debian's armhf baseline (ARMv7-A, Thumb-2, VFPv3-D16) is the compiler's default. -Wno-psabi:
# the note that GCC 7.1 changed how some standard-library iterators are passed concerns mixing
# objects built before it, which never happens here.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Multiarch: armhf libraries live in /usr/lib/arm-linux-gnueabihf of this machine (found through
# CMAKE_LIBRARY_ARCHITECTURE), architecture-independent headers in /usr/include. Never pick up a
# build program's library for the target, nor the target's programs for the build.
set(CMAKE_FIND_ROOT_PATH /usr/lib/arm-linux-gnueabihf /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Debian's python3.11 for armhf (bookworm): its pyconfig.h sits in the multiarch include folder and
# /usr/include/python3.11/pyconfig.h picks it by the compiler's target macros.
set(VELMOT_PYTHON_VERSION 3.11 CACHE STRING "Python version of the armhf target")
set(VELMOT_PYTHON_INCLUDE /usr/include/python${VELMOT_PYTHON_VERSION} CACHE PATH "")
string(REPLACE "." "" _velmot_py_nodot "${VELMOT_PYTHON_VERSION}")
set(VELMOT_EXT_SUFFIX ".cpython-${_velmot_py_nodot}-arm-linux-gnueabihf.so" CACHE STRING "")

# Target programs run here under qemu-user with Debian's multiarch armhf libraries (libc6:armhf,
# libstdc++6:armhf; the cross toolchain's own libc crashes at the first thread under qemu-user).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)
