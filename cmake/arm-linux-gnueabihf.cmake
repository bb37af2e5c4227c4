# Cross build for 32-bit ARM (hard-float, glibc) with Debian's
# arm-linux-gnueabihf toolchain. Programs built here run on the development
# machine under qemu-arm with the cross sysroot, which is also how CTest runs
# the tests (and how GoogleTest lists them).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(AVTD_ARM_TRIPLET arm-linux-gnueabihf)
set(AVTD_ARM_SYSROOT /usr/${AVTD_ARM_TRIPLET})

set(CMAKE_C_COMPILER ${AVTD_ARM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${AVTD_ARM_TRIPLET}-g++)

# 64-bit time_t and file offsets (glibc 2.34 and later): a recorder in the
# field outlives January 2038, when a 32-bit time_t wraps. No record shared
# with other processes or sent on the wire holds a time_t.
set(CMAKE_C_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")

set(CMAKE_FIND_ROOT_PATH ${AVTD_ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(AVTD_QEMU_ARM qemu-arm)
if(AVTD_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${AVTD_QEMU_ARM} -L ${AVTD_ARM_SYSROOT})
endif()
