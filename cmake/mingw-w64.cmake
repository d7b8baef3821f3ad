# Cross-builds the Windows program on Linux with mingw-w64 (the -posix thread model) and runs
# its tests under Wine. Use through the `mingw` preset.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VEK_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VEK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VEK_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VEK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program of the build, tests included, runs without the compiler's runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine, each in a Wine prefix of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR env PYTHONPATH=${CMAKE_CURRENT_LIST_DIR}/../tests
    PYTHONDONTWRITEBYTECODE=1 python3 ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/cases.py run)
