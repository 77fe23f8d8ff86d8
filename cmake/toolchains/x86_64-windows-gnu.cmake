# Cross build for 64-bit Windows (MinGW ABI; zig links the Universal C Runtime, as python.org's interpreters use), with zig's clang.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER_TARGET x86_64-windows-gnu)
include("${CMAKE_CURRENT_LIST_DIR}/zig.cmake")
