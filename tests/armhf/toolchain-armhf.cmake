# Cross toolchain for 32-bit ARM hard-float (Debian's arm-linux-gnueabihf).
# Libraries and packages (GoogleTest) come from the armhf root prepared by
# tests/armhf/run.sh; its path is passed as TAMREL_ARMHF_ROOT (cache variable
# or environment, the latter being what try_compile projects see).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

if(NOT TAMREL_ARMHF_ROOT)
  set(TAMREL_ARMHF_ROOT "$ENV{TAMREL_ARMHF_ROOT}")
endif()
if(NOT TAMREL_ARMHF_ROOT)
  message(FATAL_ERROR "TAMREL_ARMHF_ROOT must name the armhf root (see tests/armhf/run.sh)")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAMREL_ARMHF_ROOT)

# Headers and libraries of the target only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH "${TAMREL_ARMHF_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GCC notes on ARM that std::pair<float, float> is passed differently than
# before GCC 10.1; everything here is built by one compiler, so it is noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
