# Unstable's clang and lld building for x86_64 against the bullseye sysroot that
# tools/wheels/build names in ASI_WHEEL_SYSROOT. CMAKE_SYSTEM_NAME stays unset: set, it
# makes the build a cross build, and FindPython then names the module plain asi.so.
set(ASI_WHEEL_TARGET x86_64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/clang-sysroot.cmake)
