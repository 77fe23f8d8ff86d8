# Cross build for macOS, arm64, with zig's clang.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
# The oldest macOS that python.org's installers for this architecture support
# (11.0): zig's default is its newest.
set(CMAKE_CXX_COMPILER_TARGET aarch64-macos.11.0)
include("${CMAKE_CURRENT_LIST_DIR}/zig.cmake")
