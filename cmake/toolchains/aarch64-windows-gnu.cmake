# Cross build for 64-bit Arm Windows (MinGW ABI, Universal C Runtime), with zig's clang.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(CMAKE_CXX_COMPILER_TARGET aarch64-windows-gnu)
include("${CMAKE_CURRENT_LIST_DIR}/zig.cmake")
