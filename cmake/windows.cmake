# The windows build: mpsbus.sys and mpsfilt.sys, checked after each link.
include(${CMAKE_SOURCE_DIR}/cmake/driver-flags.cmake)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(DDK_INCLUDE /usr/i686-w64-mingw32/include/ddk)
# mingw's wdm.h only compiles as C++ with these intrinsics marked as present.
set(MPS_WINDOWS_DEFINES ${MPS_DRIVER_DEFINES}
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
set(MPS_WINDOWS_FLAGS ${MPS_DRIVER_CXX_FLAGS} -mno-stack-arg-probe -fno-stack-protector -O2)

function(mps_kernel_image name)
    add_library(${name} SHARED ${ARGN})
    target_include_directories(${name} SYSTEM PRIVATE ${DDK_INCLUDE})
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
    target_compile_definitions(${name} PRIVATE ${MPS_WINDOWS_DEFINES})
    target_compile_options(${name} PRIVATE ${MPS_WINDOWS_FLAGS})
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".sys")
    target_link_options(${name} PRIVATE -nostdlib -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
        -Wl,--image-base,0x10000 -Wl,--file-alignment,0x1000 -Wl,--section-alignment,0x1000
        -Wl,--exclude-all-symbols -Wl,--disable-stdcall-fixup)
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
