# Cross toolchain for the board: STM32L1 (Cortex-M3, no FPU) with the GNU Arm
# embedded compiler and picolibc as the C library.
#
#   cmake --preset target && cmake --build --preset target
#
# C++ is compiled without exceptions, RTTI, thread-safe statics or __cxa_atexit,
# and the image is linked with the C driver (see target/CMakeLists.txt), so no C++
# library code can reach it: a reference to one would fail the link.

set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_ASM_COMPILER arm-none-eabi-gcc)
find_program(CMAKE_OBJCOPY arm-none-eabi-objcopy REQUIRED)
find_program(CMAKE_OBJDUMP arm-none-eabi-objdump REQUIRED)
find_program(CMAKE_SIZE arm-none-eabi-size)

# There is no way to run a test program for the board while configuring.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Never pick up host headers or libraries.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(TL500_CPU_FLAGS "-mcpu=cortex-m3 -mthumb -mfloat-abi=soft")
# picolibc's specs add its include directory (also for C++, where the libstdc++
# headers <cstdio>, <cstdint>, ... wrap its C headers) and its libraries.
# -fstack-usage and -fcallgraph-info=su feed the static stack estimate.
set(TL500_COMMON_FLAGS
    "${TL500_CPU_FLAGS} --specs=picolibc.specs -Os -g -ffunction-sections -fdata-sections -fno-common -fcallgraph-info=su")

set(CMAKE_C_FLAGS_INIT "${TL500_COMMON_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT
    "${TL500_COMMON_FLAGS} -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit -fno-unwind-tables -fno-asynchronous-unwind-tables")
set(CMAKE_ASM_FLAGS_INIT "${TL500_CPU_FLAGS}")

# Size first in every build type; the build-type defaults only add -g or NDEBUG.
set(CMAKE_C_FLAGS_MINSIZEREL_INIT "-DNDEBUG")
set(CMAKE_CXX_FLAGS_MINSIZEREL_INIT "-DNDEBUG")
set(CMAKE_C_FLAGS_RELEASE_INIT "-DNDEBUG")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-DNDEBUG")
set(CMAKE_C_FLAGS_RELWITHDEBINFO_INIT "-DNDEBUG")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO_INIT "-DNDEBUG")

# Our own start-up code replaces picolibc's crt0; unused sections are dropped.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostartfiles -Wl,--gc-sections")
