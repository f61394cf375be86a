# Cross-compiling for 64-bit ARM Linux with Debian's aarch64-linux-gnu GCC
# (g++-aarch64-linux-gnu): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake.
# Programs built this way run on an x86-64 host through qemu-user
# (qemu-aarch64, with the cross libraries of /usr/aarch64-linux-gnu), which
# is how ctest and CI run the native tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
# Headers and libraries of the target only; programs of the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
