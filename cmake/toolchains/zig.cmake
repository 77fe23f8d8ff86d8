# What every cross build with zig's clang shares; each target's toolchain
# file sets CMAKE_SYSTEM_NAME, CMAKE_SYSTEM_PROCESSOR and zig's target, then
# includes this. CONCORDIX_ZIG_TOOLS names a directory with the wrappers c++,
# ar and ranlib that run zig's (scripts/buildkit/foreign_builds.py writes
# them); the interpreter's headers (and on Windows its import library) are
# given to FindPython with -DPython_INCLUDE_DIR= (and -DPython_LIBRARY=).
set(CMAKE_CXX_COMPILER "$ENV{CONCORDIX_ZIG_TOOLS}/c++")
set(CMAKE_AR "$ENV{CONCORDIX_ZIG_TOOLS}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$ENV{CONCORDIX_ZIG_TOOLS}/ranlib" CACHE FILEPATH "")
# The module needs no C++ runtime: linking without one proves it (and spares
# zig building libc++ for the target).
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-nostdlib++")
# No target system to run or link programs against: compiler checks make
# static libraries.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
if(CMAKE_SYSTEM_NAME STREQUAL "Darwin")
  set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX "${CMAKE_CURRENT_LIST_DIR}/zig-macos-module.cmake")
endif()
