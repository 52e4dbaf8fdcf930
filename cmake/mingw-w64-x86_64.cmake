# Cross toolchain: Debian's MinGW-w64 with the posix thread model (the win32 model has no std::thread).
# Test executables run under Wine through CMAKE_CROSSCOMPILING_EMULATOR (tools/wine-run.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${TOOLCHAIN_PREFIX}-windres)
find_program(CMAKE_MC_COMPILER ${TOOLCHAIN_PREFIX}-windmc REQUIRED)
find_program(CMAKE_OBJDUMP ${TOOLCHAIN_PREFIX}-objdump)

# Static runtime: the deliverables import only Windows system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

find_program(WINE_EXECUTABLE NAMES wine wine64 REQUIRED)
find_program(SH_EXECUTABLE sh REQUIRED)
get_filename_component(WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${SH_EXECUTABLE} ${WINE_RUN} ${WINE_EXECUTABLE})
