# Unstable's clang and lld building for aarch64 against the bullseye sysroot that
# tools/wheels/build names in ASI_WHEEL_SYSROOT. The interpreter stays the host's: the
# extension suffix and include folder come from the aarch64 sysconfig data that
# _PYTHON_SYSCONFIGDATA_NAME names (tools/wheels/build sets it).
set(ASI_WHEEL_TARGET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/clang-sysroot.cmake)
