# Cross build for macOS, x86-64, with zig's clang.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# The oldest macOS that python.org's installers for this architecture support
# (10.9): zig's default is its newest.
set(CMAKE_CXX_COMPILER_TARGET x86_64-macos.10.9)
include("${CMAKE_CURRENT_LIST_DIR}/zig.cmake")
