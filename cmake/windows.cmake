# The windows build: mpsbus.sys and mpsfilt.sys, checked after each link.
include(${CMAKE_SOURCE_DIR}/cmake/driver-flags.cmake)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(DDK_INCLUDE /usr/i686-w64-mingw32/include/ddk)
# mingw's wdm.h only compiles as C++ with these intrinsics marked as present.
set(MPS_WINDOWS_DEFINES ${MPS_DRIVER_DEFINES}
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
# No unwind tables (no exceptions to unwind), no compiler ident string, and
# every function in its own section so that the link drops what is unused.
set(MPS_WINDOWS_FLAGS ${MPS_DRIVER_CXX_FLAGS} -mno-stack-arg-probe -fno-stack-protector -O2
    -fno-asynchronous-unwind-tables -fno-unwind-tables -ffunction-sections -fdata-sections -fno-ident)

# Linked as an executable image, as the WDK links a driver: no export table.
# Laid out as kernel images are (file alignment 0x200, no symbol table); the
# base relocations stay, since the kernel loads a driver wherever it has room.
function(mps_kernel_image name)
    add_executable(${name} ${ARGN})
    target_include_directories(${name} SYSTEM PRIVATE ${DDK_INCLUDE})
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
    target_compile_definitions(${name} PRIVATE ${MPS_WINDOWS_DEFINES})
    target_compile_options(${name} PRIVATE ${MPS_WINDOWS_FLAGS})
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".sys")
    target_link_options(${name} PRIVATE -nostdlib -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
        -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
        -Wl,--enable-reloc-section -Wl,--gc-sections -s -Wl,--disable-stdcall-fixup)
    target_link_libraries(${name} PRIVATE ntoskrnl hal gcc)
    add_custom_command(TARGET ${name} POST_BUILD
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/pe_image.py $<TARGET_FILE:${name}>
        COMMENT "Checking ${name}.sys")
endfunction()

# The ABI table against mingw-w64's real headers.
add_library(abi_check OBJECT ${CMAKE_SOURCE_DIR}/abi/check.cpp)
target_include_directories(abi_check SYSTEM PRIVATE ${DDK_INCLUDE})
target_compile_definitions(abi_check PRIVATE ${MPS_WINDOWS_DEFINES})
target_compile_options(abi_check PRIVATE ${MPS_WINDOWS_FLAGS})

# The same sources against mingw-w64's x64 DDK headers: the layout table's
# x64 values and every driver source must compile there, warning-free, with
# the same options. Objects only; the images above are the x86 ones.
find_program(MPS_X64_CXX x86_64-w64-mingw32-g++ REQUIRED)
set(MPS_X64_DDK_INCLUDE /usr/x86_64-w64-mingw32/include/ddk)
list(TRANSFORM MPS_WINDOWS_DEFINES PREPEND -D OUTPUT_VARIABLE x64_defines)
set(x64_objects "")
foreach(source ${CMAKE_SOURCE_DIR}/abi/check.cpp ${MPSBUS_SOURCES} ${GENDEV_SOURCES} ${MPSFILT_SOURCES})
    file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${source})
    set(object ${CMAKE_BINARY_DIR}/x64/${relative}.o)
    get_filename_component(object_dir ${object} DIRECTORY)
    add_custom_command(OUTPUT ${object}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${object_dir}
        COMMAND ${MPS_X64_CXX} -std=c++17 ${MPS_WINDOWS_FLAGS} -Werror ${x64_defines}
                -isystem ${MPS_X64_DDK_INCLUDE} -I${CMAKE_SOURCE_DIR} -I${CMAKE_SOURCE_DIR}/include
                -MD -MF ${object}.d -c ${source} -o ${object}
        DEPENDS ${source} DEPFILE ${object}.d
        COMMENT "Compiling ${relative} for x64" VERBATIM)
    list(APPEND x64_objects ${object})
endforeach()
add_custom_target(x64_sources ALL DEPENDS ${x64_objects})

if(MPSBUS_SOURCES)
    mps_kernel_image(mpsbus ${MPSBUS_SOURCES} ${GENDEV_SOURCES})
endif()
if(MPSFILT_SOURCES)
    mps_kernel_image(mpsfilt ${MPSFILT_SOURCES})
endif()

enable_testing()
# The image checker itself must refuse a foreign import; proven on a probe image.
add_library(pe_probe SHARED ${CMAKE_SOURCE_DIR}/cmake/pe_probe.cpp)
target_link_options(pe_probe PRIVATE -nostdlib -Wl,--entry,_DllMain@12)
target_link_libraries(pe_probe PRIVATE kernel32)
add_test(NAME pe_image_check_refuses_user_mode_imports
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/pe_image.py --expect-failure $<TARGET_FILE:pe_probe>)
# ... and a kernel image laid out as a DLL, naming each thing a driver does not carry.
add_library(pe_layout_probe SHARED ${CMAKE_SOURCE_DIR}/cmake/pe_layout_probe.cpp)
target_link_options(pe_layout_probe PRIVATE -nostdlib -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
    -Wl,--file-alignment,0x1000)
target_link_libraries(pe_layout_probe PRIVATE ntoskrnl)
add_test(NAME pe_image_check_refuses_a_dll_layout
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/pe_image.py --expect-failure $<TARGET_FILE:pe_layout_probe>)
set_tests_properties(pe_image_check_refuses_a_dll_layout PROPERTIES PASS_REGULAR_EXPRESSION
    "refused as expected \\(a COFF symbol table [^;]*; file alignment 0x1000, not 0x200;.*section .eh_fram.*section .edata")
foreach(image mpsbus mpsfilt)
    if(TARGET ${image})
        add_test(NAME ${image}_sys_is_a_native_i386_kernel_image
            COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/pe_image.py --verify-only $<TARGET_FILE:${image}>)
    endif()
endforeach()
# The filter touches no hardware: the kernel is all it links against.
if(TARGET mpsfilt)
    add_test(NAME mpsfilt_sys_imports_from_the_kernel_only
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/pe_image.py --verify-only --kernel-only $<TARGET_FILE:mpsfilt>)
endif()
# mpsbus reaches its registers through the HAL, so the narrower check refuses it.
if(TARGET mpsbus)
    add_test(NAME pe_image_check_refuses_hal_imports_when_kernel_only
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/pe_image.py --verify-only --kernel-only --expect-failure
                $<TARGET_FILE:mpsbus>)
endif()
