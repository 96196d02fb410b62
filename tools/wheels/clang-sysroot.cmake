# What both wheel toolchains share: clang for ASI_WHEEL_TARGET, lld, llvm-strip, and
# headers and libraries from the sysroot alone, so that nothing of the build machine's
# newer glibc or libstdc++ reaches the wheel.
set(CMAKE_SYSROOT $ENV{ASI_WHEEL_SYSROOT})
if(NOT IS_DIRECTORY "${CMAKE_SYSROOT}/usr/include")
  message(FATAL_ERROR "ASI_WHEEL_SYSROOT names no sysroot: '${CMAKE_SYSROOT}'")
endif()

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${ASI_WHEEL_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${ASI_WHEEL_TARGET})
set(CMAKE_LINKER_TYPE LLD)
set(CMAKE_AR llvm-ar CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP llvm-strip CACHE FILEPATH "")
set(CMAKE_OBJDUMP llvm-objdump CACHE FILEPATH "")

# Programs from the build machine; headers, libraries and packages from the sysroot.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
