# Cross toolchain for the Windows driver: Debian's mingw-w64 compiler for 32-bit x86
# (packages g++-mingw-w64-i686 and mingw-w64-i686-dev, installed by scripts/setup).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QVNET_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_CXX_COMPILER ${QVNET_MINGW_PREFIX}-g++)
set(CMAKE_OBJDUMP ${QVNET_MINGW_PREFIX}-objdump CACHE FILEPATH "objdump of the cross toolchain")
set(CMAKE_FIND_ROOT_PATH /usr/${QVNET_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
