# Read after CMake's Darwin platform rules (CMAKE_USER_MAKE_RULES_OVERRIDE_CXX
# of the macOS toolchain files). CMake links a module as a bundle (-bundle);
# zig's Mach-O linker crashes on that, and the interpreter's dlopen loads a
# dynamic library just as well, so the cross build makes one.
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared -Wl,-headerpad_max_install_names")
