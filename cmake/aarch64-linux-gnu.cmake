# Cross-compiles the numeric core and its check drivers for 64-bit ARM Linux,
# linked statically so that the emulator needs no ARM libraries, and runs them
# under qemu-user: `ctest` in such a build runs every driver on emulated ARM.
# The tools can be named: -DVELK_AARCH64_CXX=... -DVELK_QEMU_AARCH64=...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

if(NOT VELK_AARCH64_CXX)
  set(VELK_AARCH64_CXX aarch64-linux-gnu-g++)
endif()
if(NOT VELK_QEMU_AARCH64)
  set(VELK_QEMU_AARCH64 qemu-aarch64)
endif()
set(CMAKE_CXX_COMPILER ${VELK_AARCH64_CXX})
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELK_QEMU_AARCH64})
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
