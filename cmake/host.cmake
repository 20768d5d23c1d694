# The host build, for either target with 16-bit wchar_t: 32 bits is x86
# (stdcall NTAPI, x86 layouts), 64 bits is x64 (x64 layouts); the driver
# sources see the layouts of the Windows target they stand for.
include(${CMAKE_SOURCE_DIR}/cmake/driver-flags.cmake)

set(MPS_HOST_BITS 64 CACHE STRING "The host build's target: 32 (x86) or 64 (x64)")
set_property(CACHE MPS_HOST_BITS PROPERTY STRINGS 32 64)
if(NOT MPS_HOST_BITS MATCHES "^(32|64)$")
    message(FATAL_ERROR "MPS_HOST_BITS is 32 or 64, not '${MPS_HOST_BITS}'")
endif()
set(CMAKE_C_FLAGS "${CMAKE_C_FLAGS} -m${MPS_HOST_BITS}")
set(CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS} -m${MPS_HOST_BITS} -fshort-wchar")
set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -m${MPS_HOST_BITS}")
set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} -m${MPS_HOST_BITS}")
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

# The sanitizer build: the same host build under ASan and UBSan.
option(MPS_SANITIZE "Build the host tree with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(MPS_SANITIZE)
    set(MPS_SANITIZE_FLAGS "-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer")
    set(CMAKE_C_FLAGS "${CMAKE_C_FLAGS} ${MPS_SANITIZE_FLAGS}")
    set(CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS} ${MPS_SANITIZE_FLAGS}")
    set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} ${MPS_SANITIZE_FLAGS}")
    set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} ${MPS_SANITIZE_FLAGS}")
endif()

# The fuzz trees (make fuzz) build the fuzz targets and register them alone:
# the other tests' executables are not built there, so registered they could
# only fail.
option(MPS_FUZZ "Build the fuzz targets (clang, libFuzzer)" OFF)

# Where the kernel runs no i386 programs, cmake/host-i386-emulated.cmake puts
# the x86 build's programs under qemu-i386.
set(MPS_EMULATED OFF)
set(MPS_LONG_RUN_STRIDE 1)
if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(MPS_EMULATED ON)
    # A host program runs some ten times slower emulated: the long sweeps
    # take every eighth case, the full runs stay where i386 runs natively.
    set(MPS_LONG_RUN_STRIDE 8)
endif()

set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)

# The host kernel and the simulator keep books on every call a driver makes
# (pool, requests, locks, registry keys, images) in standard containers,
# which unoptimized cost several times the drivers' own work. Debug compiles
# them with -O1, debug information kept; the driver images and the tests'
# own sources stay as the build type compiles them.
set(MPS_HOST_CORE_OPTIONS $<$<CONFIG:Debug>:-O1>)
set(MPS_IMAGE_DIR ${CMAKE_BINARY_DIR}/images)
# The static analysis reads how the driver images are compiled from here.
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

# ---------------------------------------------------------- the host kernel
file(GLOB PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/src/*.cpp)
add_library(ntoskrnl_host SHARED ${PLATFORM_SOURCES} ${CMAKE_SOURCE_DIR}/abi/check.cpp)
target_include_directories(ntoskrnl_host PUBLIC ${CMAKE_SOURCE_DIR}/platform/include)
target_compile_definitions(ntoskrnl_host PRIVATE HK_HOST_SIDE MPS_IMAGE_DIR="${MPS_IMAGE_DIR}")
target_compile_options(ntoskrnl_host PRIVATE -Wall -Wextra -Wno-multichar -Wno-invalid-offsetof -Werror)
target_link_libraries(ntoskrnl_host PUBLIC Threads::Threads ${CMAKE_DL_LIBS})
target_compile_options(ntoskrnl_host PRIVATE ${MPS_HOST_CORE_OPTIONS})

# ------------------------------------------------------------ driver images
# Kernel code: the drivers' compile options and the host kernel's headers.
function(mps_driver_code target)
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/platform/include)
    target_compile_definitions(${target} PRIVATE ${MPS_DRIVER_DEFINES})
    target_compile_options(${target} PRIVATE ${MPS_DRIVER_CXX_FLAGS})
endfunction()

# Each source of the drivers is compiled once per tree, as kernel code, into
# an object library of its own: the images link it, and so does every test
# that compiles a driver routine into its executable (mps_shared_sources).
set(MPS_SHARED_DRIVER_SOURCES ${MPSBUS_SOURCES} ${GENDEV_SOURCES} ${MPSFILT_SOURCES})
function(mps_driver_object_name source out)
    file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${source})
    string(MAKE_C_IDENTIFIER "driver_object_${relative}" name)
    set(${out} ${name} PARENT_SCOPE)
endfunction()
foreach(source ${MPS_SHARED_DRIVER_SOURCES})
    mps_driver_object_name(${source} object)
    add_library(${object} OBJECT ${source})
    mps_driver_code(${object})
endforeach()

# |out| gets |sources| with each driver source replaced by its objects.
function(mps_shared_sources out)
    set(result "")
    foreach(source ${ARGN})
        get_filename_component(path ${source} ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
        if(path IN_LIST MPS_SHARED_DRIVER_SOURCES)
            mps_driver_object_name(${path} object)
            list(APPEND result $<TARGET_OBJECTS:${object}>)
        else()
            list(APPEND result ${source})
        endif()
    endforeach()
    set(${out} ${result} PARENT_SCOPE)
endfunction()

# Each image is linked against the host kernel alone, as a .sys is against
# ntoskrnl and hal, and loaded by service name from MPS_IMAGE_DIR.
function(mps_driver_image name)
    mps_shared_sources(sources ${ARGN})
    add_library(${name} SHARED ${sources})
    mps_driver_code(${name})
    target_link_options(${name} PRIVATE -Wl,--no-undefined -nodefaultlibs)
    target_link_libraries(${name} PRIVATE ntoskrnl_host c gcc)
    if(MPS_SANITIZE)
        target_link_libraries(${name} PRIVATE asan ubsan)
    endif()
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".so"
        LIBRARY_OUTPUT_DIRECTORY ${MPS_IMAGE_DIR})
endfunction()

if(MPSBUS_SOURCES)
    mps_driver_image(mpsbus ${MPSBUS_SOURCES} ${GENDEV_SOURCES})
endif()
if(MPSFILT_SOURCES)
    mps_driver_image(mpsfilt ${MPSFILT_SOURCES})
endif()

# Small drivers of the tests' own, written like driver code: each folder
# tests/images/<name>/ becomes the image <name>.so.
file(GLOB TEST_IMAGE_DIRS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/images/*)
set(MPS_TEST_IMAGES "")
foreach(image_dir ${TEST_IMAGE_DIRS})
    if(IS_DIRECTORY ${image_dir})
        get_filename_component(image ${image_dir} NAME)
        file(GLOB image_sources CONFIGURE_DEPENDS ${image_dir}/*.cpp)
        if(image_sources)
            mps_driver_image(${image} ${image_sources})
            list(APPEND MPS_TEST_IMAGES ${image})
        endif()
    endif()
endforeach()

# Host code that is not driver code (simulator, tests) sees the C library.
# Its formats must be right for both targets: ULONG is long on x86 and int
# on x64. Pool tags are multi-character constants here too; any other
# warning is an error.
function(mps_host_code target)
    target_compile_definitions(${target} PRIVATE HK_HOST_SIDE MPS_IMAGE_DIR="${MPS_IMAGE_DIR}")
    target_compile_options(${target} PRIVATE -Wformat -Wno-multichar -Werror)
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${target} PRIVATE ntoskrnl_host)
endfunction()

# ------------------------------------------------------ simulated machine
# sim/ has a folder per stand-in: the Plug and Play and power managers (pnp),
# the board hardware (hardware), the serial port driver (serial) and the
# mpsim command with its scenarios and reports (mpsim).
set(SIM_FOLDERS pnp hardware serial mpsim)
set(SIM_SOURCES "")
set(SIM_INCLUDE_DIRS "")
foreach(folder ${SIM_FOLDERS})
    file(GLOB folder_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/${folder}/*.cpp)
    list(APPEND SIM_SOURCES ${folder_sources})
    list(APPEND SIM_INCLUDE_DIRS ${CMAKE_SOURCE_DIR}/sim/${folder})
endforeach()
set(MPSIM_MAIN ${CMAKE_SOURCE_DIR}/sim/mpsim/mpsim_main.cpp)
list(FILTER SIM_SOURCES EXCLUDE REGEX ".*/mpsim_main\\.cpp$")
if(SIM_SOURCES)
    add_library(mpsim_core STATIC ${SIM_SOURCES})
    mps_host_code(mpsim_core)
    # The serial port driver's stand-in is a driver of the simulated machine:
    # its routines are named in the stacks of failed calls, so it keeps the
    # frames it is written with.
    set(SIM_HOST_SOURCES ${SIM_SOURCES})
    list(FILTER SIM_HOST_SOURCES EXCLUDE REGEX "/sim/serial/")
    set_source_files_properties(${SIM_HOST_SOURCES} PROPERTIES COMPILE_OPTIONS "${MPS_HOST_CORE_OPTIONS}")
    # The simulator reads the bus driver's device extensions as a debugger does.
    target_include_directories(mpsim_core PRIVATE ${CMAKE_SOURCE_DIR}/include)
    target_include_directories(mpsim_core PUBLIC ${SIM_INCLUDE_DIRS})
    if(EXISTS ${MPSIM_MAIN})
        add_executable(mpsim ${MPSIM_MAIN})
        mps_host_code(mpsim)
        target_link_libraries(mpsim PRIVATE mpsim_core)
        set_target_properties(mpsim PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
        foreach(image mpsbus mpsfilt)
            if(TARGET ${image})
                add_dependencies(mpsim ${image})
            endif()
        endforeach()
    endif()
endif()

# ------------------------------------------------------------------- tests
enable_testing()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# Shared fixtures and the main() that turns verifier findings into failures.
file(GLOB TEST_SUPPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
if(TEST_SUPPORT_SOURCES)
    add_library(test_support STATIC ${TEST_SUPPORT_SOURCES})
    mps_host_code(test_support)
    target_include_directories(test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests)
    target_link_libraries(test_support PUBLIC gmock gtest)
    target_compile_definitions(test_support PUBLIC MPS_LONG_RUN_STRIDE=${MPS_LONG_RUN_STRIDE})
    if(MPS_EMULATED)
        # A death test runs this binary again: through the emulator, since
        # the kernel will not run it.
        string(REPLACE ";" "|" emulator_command "${CMAKE_CROSSCOMPILING_EMULATOR}")
        target_compile_definitions(test_support PRIVATE MPS_TEST_EMULATOR="${emulator_command}")
    endif()
endif()

# GoogleTest and the host kernel's headers, parsed once per tree: every test
# executable reuses this target's precompiled header. It is compiled as the
# test executables are (position-independent executable code, the same
# definitions), or the compiler would not take it.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/test_headers.cpp
     CONTENT "// The translation unit the test executables' precompiled header is built with.\n")
add_library(test_headers OBJECT ${CMAKE_BINARY_DIR}/test_headers.cpp)
mps_host_code(test_headers)
target_include_directories(test_headers PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(test_headers PRIVATE gmock gtest)
target_compile_definitions(test_headers PRIVATE MPS_LONG_RUN_STRIDE=${MPS_LONG_RUN_STRIDE})
set_target_properties(test_headers PROPERTIES POSITION_INDEPENDENT_CODE OFF)
target_compile_options(test_headers PRIVATE ${CMAKE_CXX_COMPILE_OPTIONS_PIE})
target_precompile_headers(test_headers PRIVATE <gmock/gmock.h> <gtest/gtest.h> <hk/host.h>
                          <algorithm> <chrono> <cstring> <functional> <map> <memory> <string> <thread> <vector>)

# The groups whose test files compile as one unit, sharing the parse of
# their headers (half of their compile time): only where that is known to
# build, since names in anonymous namespaces must then not repeat between a
# group's files. A group leaves it by leaving this list (or by
# set(MPS_TEST_UNITY_BUILD OFF) in its sources.cmake); the others reuse
# names and compile file by file.
set(MPS_UNITY_TEST_GROUPS boardlife businterface hal hardware identify machine mpsbus mpsfilt mpsfilt_registry
    optionsmachine package ports registry rtl serial startseq sync)

# One test executable per folder under tests/ (support/ is linked into each).
# The limit only stops a hung test: the emulator and the sanitizers run the
# whole-machine tests several times slower (one took 115 s under ASan on a
# loaded two-core machine).
if(MPS_EMULATED)
    set(MPS_TEST_TIMEOUT 600)
elseif(MPS_SANITIZE)
    set(MPS_TEST_TIMEOUT 300)
else()
    set(MPS_TEST_TIMEOUT 120)
endif()
file(GLOB TEST_GROUPS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/*)
foreach(group_dir ${TEST_GROUPS})
    if(IS_DIRECTORY ${group_dir} AND NOT group_dir MATCHES "/(support|images)$")
        get_filename_component(group ${group_dir} NAME)
        file(GLOB group_sources CONFIGURE_DEPENDS ${group_dir}/*.cpp)
        if(group_sources)
            add_executable(test_${group} ${group_sources})
            mps_host_code(test_${group})
            target_include_directories(test_${group} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
            if(TARGET test_support)
                target_link_libraries(test_${group} PRIVATE test_support)
            else()
                target_link_libraries(test_${group} PRIVATE gmock gtest gtest_main)
            endif()
            if(TARGET mpsim_core)
                target_link_libraries(test_${group} PRIVATE mpsim_core)
            endif()
            foreach(image mpsbus mpsfilt ${MPS_TEST_IMAGES})
                if(TARGET ${image})
                    add_dependencies(test_${group} ${image})
                endif()
            endforeach()
            # A group may compile driver sources into its executable, to test
            # a routine with stand-ins for the routines it calls: whatever it
            # lists of them, it links from the objects the images are built
            # from.
            set(MPS_TEST_COST 0)
            if(group IN_LIST MPS_UNITY_TEST_GROUPS)
                set(MPS_TEST_UNITY_BUILD ON)
            else()
                set(MPS_TEST_UNITY_BUILD OFF)
            endif()
            if(EXISTS ${group_dir}/sources.cmake)
                include(${group_dir}/sources.cmake)
            endif()
            get_target_property(group_sources test_${group} SOURCES)
            mps_shared_sources(group_sources ${group_sources})
            set_property(TARGET test_${group} PROPERTY SOURCES ${group_sources})
            if(TARGET test_headers)
                target_precompile_headers(test_${group} REUSE_FROM test_headers)
            endif()
            if(MPS_TEST_UNITY_BUILD)
                set_target_properties(test_${group} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
            endif()
            # A group's sources.cmake may give its tests a COST, so that ctest
            # starts the long ones first.
            if(NOT MPS_FUZZ)
                gtest_discover_tests(test_${group} DISCOVERY_TIMEOUT 60
                                     PROPERTIES TIMEOUT ${MPS_TEST_TIMEOUT} COST ${MPS_TEST_COST})
            endif()
        endif()
    endif()
endforeach()

# The long runs below carry a COST, in rough seconds: ctest starts the
# costliest first (until it has timings of its own from a previous run), so
# that no core is left waiting on one long test at the end.

# The drivers' cost per board must not grow with the number of boards:
# judged by what the run counts, so the verdict is the same on any machine.
# In the plain builds only: under the sanitizers it counts the same, slower.
if(TARGET mpsim AND NOT MPS_SANITIZE AND NOT MPS_FUZZ)
    add_test(NAME mpsim_bench_cost_grows_linearly COMMAND mpsim --bench)
    set_tests_properties(mpsim_bench_cost_grows_linearly PROPERTIES TIMEOUT 300 COST 300)
endif()

# Why a long run takes a sample here: each sample says so when it runs (a
# line beginning "REDUCED:", which make test gathers into its summary).
if(MPS_EMULATED)
    set(MPS_SAMPLE_WHY "this x86 build runs under qemu-i386, some ten times slower; where i386 runs natively it runs in full")
elseif(MPS_SANITIZE)
    set(MPS_SAMPLE_WHY "under the sanitizers a run costs several times as much; the plain builds run it in full")
endif()

# Seeded Plug and Play sequences over several boards with the bus interface
# used from other threads: many seeds as built, a sample under the sanitizers
# or the emulator.
if(TARGET mpsim AND NOT MPS_FUZZ)
    if(MPS_SANITIZE OR MPS_EMULATED)
        add_test(NAME mpsim_sequences COMMAND mpsim --sequence 1 --seeds 20
                 --reduced "the full run takes 150, 130 left out: ${MPS_SAMPLE_WHY}")
    else()
        add_test(NAME mpsim_sequences COMMAND mpsim --sequence 1 --seeds 150)
    endif()
    set_tests_properties(mpsim_sequences PROPERTIES TIMEOUT 300 COST 400)
    # The same on current Windows 11: NX pool, the code integrity check, the
    # power rules of WDM 6.0. Twenty seeds, as under the sanitizers.
    add_test(NAME mpsim_sequences_windows11 COMMAND mpsim --windows 11 --sequence 1 --seeds 20)
    set_tests_properties(mpsim_sequences_windows11 PROPERTIES TIMEOUT 300 COST 60)
endif()

# Every model's life once per fallible call of the drivers, with that call
# failing, and once per request a lower driver may fail (mpsim --sweep).
# Under the sanitizers or the emulator a run costs several times as much: a
# few models of each bus, two memory-space variants among them (a PC Card's
# UART range mapped with no bridge range beside it).
set(MPS_SWEEP_SAMPLE PL1-A/remove,PB2-A/surprise,PL4-A/memory,CB1-A/surprise,CB2-A/memory,IB4-AX/surprise)
if(TARGET mpsim AND NOT MPS_FUZZ)
    if(MPS_SANITIZE OR MPS_EMULATED)
        add_test(NAME mpsim_fault_sweep COMMAND mpsim --sweep ${MPS_SWEEP_SAMPLE} --reduced "${MPS_SAMPLE_WHY}")
    else()
        add_test(NAME mpsim_fault_sweep COMMAND mpsim --sweep)
    endif()
    set_tests_properties(mpsim_fault_sweep PROPERTIES TIMEOUT 900 COST 1000)
    # The sample again on current Windows 11, where every nonpaged block must
    # be NX on each failure path too.
    add_test(NAME mpsim_fault_sweep_windows11 COMMAND mpsim --windows 11 --sweep ${MPS_SWEEP_SAMPLE})
    set_tests_properties(mpsim_fault_sweep_windows11 PROPERTIES TIMEOUT 900 COST 100)
endif()

# The shipped scenarios (examples/*.json), each run as a user runs it and
# judged by the exit status and summary its "expect" gives; a new file is
# picked up at the next configure. In the plain trees, where mpsim runs as
# built (through the emulator where the kernel runs no i386 programs). The
# runner must also fail a file whose expectation is wrong: that file names
# two differences, and the test passes only when both are reported.
if(TARGET mpsim AND NOT MPS_SANITIZE AND NOT MPS_FUZZ)
    set(MPS_RUN_EXAMPLE python3 ${CMAKE_SOURCE_DIR}/scripts/run_example.py)
    set(MPS_MPSIM_COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:mpsim>)
    file(GLOB MPS_EXAMPLES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/examples/*.json)
    foreach(example ${MPS_EXAMPLES})
        get_filename_component(stem ${example} NAME_WLE)
        add_test(NAME example_${stem} COMMAND ${MPS_RUN_EXAMPLE} ${example} -- ${MPS_MPSIM_COMMAND})
        set_tests_properties(example_${stem} PROPERTIES TIMEOUT 120)
    endforeach()
    add_test(NAME example_runner_reports_a_wrong_expectation
             COMMAND ${MPS_RUN_EXAMPLE} ${CMAKE_SOURCE_DIR}/tests/example_runner/wrong-expectation.json
                     -- ${MPS_MPSIM_COMMAND})
    set_tests_properties(example_runner_reports_a_wrong_expectation PROPERTIES
        PASS_REGULAR_EXPRESSION "wrong-expectation.json: 2 differences from what the file expects" TIMEOUT 120)
endif()

# Clang's static analyzer over the driver sources as this build compiles its
# images (x64 here, x86 in the 32-bit tree): a finding fails the test and is
# printed. In the plain builds only: the sanitizers change no driver source.
if(TARGET mpsbus AND TARGET mpsfilt AND NOT MPS_SANITIZE AND NOT MPS_FUZZ)
    add_test(NAME driver_static_analysis
             COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/analyze_drivers.py ${CMAKE_BINARY_DIR})
    set_tests_properties(driver_static_analysis PROPERTIES TIMEOUT 600 COST 200)
endif()

# The fuzz targets: a build of their own with clang (make fuzz).
if(MPS_FUZZ)
    add_subdirectory(${CMAKE_SOURCE_DIR}/fuzz ${CMAKE_BINARY_DIR}/fuzz)
endif()
