# The windows build: mpsbus.sys and mpsfilt.sys for x86 (build/windows,
# cmake/windows-toolchain.cmake) or x64 (build/windows-x64,
# cmake/windows-x64-toolchain.cmake), checked and test-signed after each link.
include(${CMAKE_SOURCE_DIR}/cmake/driver-flags.cmake)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
# Every target of this tree (images, installer, probes) builds without a
# warning, so one is an error.
add_compile_options(-Werror)
find_program(MPS_OSSLSIGNCODE osslsigncode REQUIRED)

# One test certificate signs the images of both trees (the Makefile points
# them at build/test-signing); a tree configured alone makes its own.
set(MPS_TEST_SIGNING_DIR ${CMAKE_BINARY_DIR}/test-signing CACHE PATH "where the test root and signing certificate are")

# mingw's wdm.h only compiles as C++ with these intrinsics marked as present.
set(MPS_WINDOWS_DEFINES ${MPS_DRIVER_DEFINES}
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
# No compiler ident string, and every function in its own section so that
# the link drops what is unused.
set(MPS_WINDOWS_FLAGS ${MPS_DRIVER_CXX_FLAGS} -mno-stack-arg-probe -fno-stack-protector -O2)
set(MPS_WINDOWS_SECTION_FLAGS -ffunction-sections -fdata-sections -fno-ident)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(MPS_PE_MACHINE amd64)
    set(DDK_INCLUDE /usr/x86_64-w64-mingw32/include/ddk)
    # The kernel dispatches exceptions and walks x64 stacks through each
    # function's unwind data (.pdata/.xdata), so x64 code keeps it.
    list(APPEND MPS_WINDOWS_FLAGS ${MPS_WINDOWS_SECTION_FLAGS})
    set(MPS_DRIVER_ENTRY DriverEntry)
    set(MPS_DLL_ENTRY DllMain)
else()
    set(MPS_PE_MACHINE i386)
    set(DDK_INCLUDE /usr/i686-w64-mingw32/include/ddk)
    # x86 unwinds without tables: none are emitted (no exceptions to unwind).
    list(APPEND MPS_WINDOWS_FLAGS -fno-asynchronous-unwind-tables -fno-unwind-tables ${MPS_WINDOWS_SECTION_FLAGS})
    set(MPS_DRIVER_ENTRY _DriverEntry@8)
    set(MPS_DLL_ENTRY _DllMain@12)
endif()
set(pe_image ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/pe_image.py --machine ${MPS_PE_MACHINE})
# The documented minimum Windows of every routine the images may import.
set(kernel_imports ${CMAKE_SOURCE_DIR}/tests/package/kernel_imports.csv)

set(test_root ${MPS_TEST_SIGNING_DIR}/root.crt)
add_custom_command(OUTPUT ${test_root} ${MPS_TEST_SIGNING_DIR}/leaf.crt ${MPS_TEST_SIGNING_DIR}/leaf.key
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/test-signing.sh ${MPS_TEST_SIGNING_DIR}
    DEPENDS ${CMAKE_SOURCE_DIR}/scripts/test-signing.sh
    COMMENT "Making the test signing certificate" VERBATIM)
add_custom_target(test_certificate DEPENDS ${test_root})

# Linked as an executable image, as the WDK links a driver: no export table.
# Laid out as kernel images are (file alignment 0x200, no symbol table); the
# base relocations stay, since the kernel loads a driver wherever it has room.
# Checked, then signed (SHA-256 Authenticode) with the test certificate; the
# checksum is written again over the signed file.
function(mps_kernel_image name)
    add_executable(${name} ${ARGN})
    target_include_directories(${name} SYSTEM PRIVATE ${DDK_INCLUDE})
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
    target_compile_definitions(${name} PRIVATE ${MPS_WINDOWS_DEFINES})
    target_compile_options(${name} PRIVATE ${MPS_WINDOWS_FLAGS})
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".sys")
    target_link_options(${name} PRIVATE -nostdlib -Wl,--subsystem,native -Wl,--entry,${MPS_DRIVER_ENTRY}
        -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
        -Wl,--enable-reloc-section -Wl,--gc-sections -s -Wl,--disable-stdcall-fixup
        -Wl,-Map,${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
    target_link_libraries(${name} PRIVATE ntoskrnl hal gcc)
    add_dependencies(${name} test_certificate)
    set(image $<TARGET_FILE:${name}>)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${kernel_imports})
    add_custom_command(TARGET ${name} POST_BUILD
        COMMAND ${pe_image} --imports ${kernel_imports} --map ${CMAKE_CURRENT_BINARY_DIR}/${name}.map ${image}
        COMMAND ${MPS_OSSLSIGNCODE} sign -certs ${MPS_TEST_SIGNING_DIR}/leaf.crt -key ${MPS_TEST_SIGNING_DIR}/leaf.key
                -h sha256 -n ${name} -in ${image} -out ${image}.signed > /dev/null
        COMMAND ${CMAKE_COMMAND} -E rename ${image}.signed ${image}
        COMMAND ${pe_image} --signed-by ${test_root} ${image}
        COMMENT "Checking and signing ${name}.sys" VERBATIM)
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

# The installer program of the Wine check and of ISA boards, for this
# architecture: on x64 Windows a 32-bit process cannot install devices.
add_executable(mpsinst ${CMAKE_SOURCE_DIR}/tools/mpsinst/mpsinst.c)
set_target_properties(mpsinst PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(mpsinst PRIVATE -O2 -Wall -Wextra -Wno-missing-field-initializers -Werror -municode)
target_link_options(mpsinst PRIVATE -municode)
target_link_libraries(mpsinst PRIVATE setupapi newdev advapi32)
# Signed with the images' test certificate, so that the package holds nothing
# unsigned. The image check reads kernel images only: osslsigncode verifies
# this one against the test root.
add_dependencies(mpsinst test_certificate)
add_custom_command(TARGET mpsinst POST_BUILD
    COMMAND ${MPS_OSSLSIGNCODE} sign -certs ${MPS_TEST_SIGNING_DIR}/leaf.crt -key ${MPS_TEST_SIGNING_DIR}/leaf.key
            -h sha256 -n mpsinst -in $<TARGET_FILE:mpsinst> -out $<TARGET_FILE:mpsinst>.signed > /dev/null
    COMMAND ${CMAKE_COMMAND} -E rename $<TARGET_FILE:mpsinst>.signed $<TARGET_FILE:mpsinst>
    COMMAND ${MPS_OSSLSIGNCODE} verify -CAfile ${test_root} -in $<TARGET_FILE:mpsinst> > /dev/null
    COMMENT "Signing mpsinst.exe" VERBATIM)

enable_testing()
# The image check must refuse what a driver image must not be. Each probe's
# test names the refusal it is there for, so that a check refusing it for
# another reason does not pass.
function(mps_refusal name probe pattern)
    add_test(NAME ${name} COMMAND ${pe_image} --expect-failure ${ARGN} $<TARGET_FILE:${probe}>)
    set_tests_properties(${name} PROPERTIES PASS_REGULAR_EXPRESSION "refused as expected \\(${pattern}")
endfunction()

# A user-mode DLL importing from kernel32.
add_library(pe_probe SHARED ${CMAKE_SOURCE_DIR}/cmake/pe_probe.cpp)
target_link_options(pe_probe PRIVATE -nostdlib -Wl,--entry,${MPS_DLL_ENTRY})
target_link_libraries(pe_probe PRIVATE kernel32)
mps_refusal(pe_image_check_refuses_user_mode_imports pe_probe ".*imports from KERNEL32\\.dll")
# A kernel image laid out as a DLL, naming each thing a driver does not carry.
add_library(pe_layout_probe SHARED ${CMAKE_SOURCE_DIR}/cmake/pe_layout_probe.cpp)
target_link_options(pe_layout_probe PRIVATE -nostdlib -Wl,--subsystem,native -Wl,--entry,${MPS_DRIVER_ENTRY}
    -Wl,--file-alignment,0x1000)
target_link_libraries(pe_layout_probe PRIVATE ntoskrnl)
if(MPS_PE_MACHINE STREQUAL "amd64")
    mps_refusal(pe_image_check_refuses_a_dll_layout pe_layout_probe
        "a COFF symbol table [^;]*; file alignment 0x1000, not 0x200;.*section .edata")
    # A kernel image without unwind data: on x64 the kernel could not unwind
    # through its DriverEntry.
    add_executable(pe_unwind_probe ${CMAKE_SOURCE_DIR}/cmake/pe_layout_probe.cpp)
    target_compile_options(pe_unwind_probe PRIVATE -fno-asynchronous-unwind-tables -fno-unwind-tables)
    target_link_options(pe_unwind_probe PRIVATE -nostdlib -Wl,--subsystem,native -Wl,--entry,${MPS_DRIVER_ENTRY}
        -Wl,--file-alignment,0x200 -Wl,--enable-reloc-section -s)
    target_link_libraries(pe_unwind_probe PRIVATE ntoskrnl)
    mps_refusal(pe_image_check_refuses_an_x64_image_without_unwind_data pe_unwind_probe
        ".*no unwind data \\(no exception directory\\)")
else()
    mps_refusal(pe_image_check_refuses_a_dll_layout pe_layout_probe
        "a COFF symbol table [^;]*; file alignment 0x1000, not 0x200;.*section .eh_fram.*section .edata")
endif()

foreach(image mpsbus mpsfilt)
    if(TARGET ${image})
        add_test(NAME ${image}_sys_is_a_signed_${MPS_PE_MACHINE}_kernel_image
            COMMAND ${pe_image} --verify-only --signed-by ${test_root} --imports ${kernel_imports}
                    --map ${CMAKE_CURRENT_BINARY_DIR}/${image}.map $<TARGET_FILE:${image}>)
        set_tests_properties(${image}_sys_is_a_signed_${MPS_PE_MACHINE}_kernel_image
            PROPERTIES PASS_REGULAR_EXPRESSION "runs from Windows [^\n]* on.*signed \\(SHA-256\\)")
    endif()
endforeach()
# Memory integrity's image rules, the import table and, on x64, the unwind
# data of every non-leaf function: each slip planted into a copy of mpsbus
# must be refused for what it is.
if(TARGET mpsbus)
    set(plants
        "writable-code\;section \\.text is writable and executable \\(memory integrity: 0x2003\\)"
        "unaligned-section\;section \\.data at 0x[0-9a-f]+ is not page-aligned \\(memory integrity: 0x2004\\)"
        "executable-imports\;.*import table in executable section \\.idata \\(memory integrity: 0x2005\\)"
        "unknown-import\;imports ntoskrnl\\.exe!NoSuchExport, which no Windows kernel exports")
    if(MPS_PE_MACHINE STREQUAL "amd64")
        list(APPEND plants "straddling-relocation\;relocation at 0x[0-9a-f]+ straddles a page")
        list(APPEND plants "missing-unwind\;function GenericDispatchPnp at 0x[0-9a-f]+ calls or uses the stack but has no unwind data")
    endif()
    foreach(entry ${plants})
        list(GET entry 0 kind)
        list(GET entry 1 pattern)
        string(REPLACE "-" "_" test_kind ${kind})
        mps_refusal(pe_image_check_refuses_${test_kind} mpsbus "${pattern}" --verify-only --plant ${kind}
                    --imports ${kernel_imports} --map ${CMAKE_CURRENT_BINARY_DIR}/mpsbus.map)
    endforeach()
endif()
# The filter touches no hardware: the kernel is all it links against.
if(TARGET mpsfilt)
    add_test(NAME mpsfilt_sys_imports_from_the_kernel_only
        COMMAND ${pe_image} --verify-only --kernel-only $<TARGET_FILE:mpsfilt>)
endif()
if(TARGET mpsbus AND MPS_PE_MACHINE STREQUAL "i386")
    # x86 mpsbus reaches its registers through the HAL, so the narrower
    # check refuses it (x64 port accessors are inline: nothing comes from HAL).
    mps_refusal(pe_image_check_refuses_hal_imports_when_kernel_only mpsbus "imports from HAL\\.dll" --verify-only --kernel-only)
endif()
if(TARGET mpsbus)
    # An image of the other machine is refused by what it is.
    if(MPS_PE_MACHINE STREQUAL "amd64")
        set(other i386)
        set(pattern "machine 0x8664 is not i386; not PE32")
    else()
        set(other amd64)
        set(pattern "machine 0x14c is not amd64; not PE32\\+")
    endif()
    add_test(NAME pe_image_check_refuses_the_${MPS_PE_MACHINE}_image_as_${other}
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/pe_image.py --machine ${other} --expect-failure
                $<TARGET_FILE:mpsbus>)
    set_tests_properties(pe_image_check_refuses_the_${MPS_PE_MACHINE}_image_as_${other}
        PROPERTIES PASS_REGULAR_EXPRESSION "refused as expected \\(${pattern}")
endif()

# The package of both architectures, staged from the x86 tree (the Makefile
# names it) and this one into scratch folders: the real package passes the
# package check, and each fault planted into a copy of it is refused.
set(MPS_PACKAGE_X86_TREE "" CACHE PATH "the x86 Windows tree whose images the package check stages beside these")
if(MPS_PACKAGE_X86_TREE AND MPS_PE_MACHINE STREQUAL "amd64")
    set(package_scripts ${CMAKE_SOURCE_DIR}/scripts/package)
    set(package_trees --x86 ${MPS_PACKAGE_X86_TREE} --x64 ${CMAKE_BINARY_DIR} --signing ${MPS_TEST_SIGNING_DIR})
    add_test(NAME package_of_both_trees_passes_the_package_check
        COMMAND ${Python3_EXECUTABLE} ${package_scripts}/stage.py ${package_trees}
                --out ${CMAKE_BINARY_DIR}/package-test/package --zip ${CMAKE_BINARY_DIR}/package-test/mps-package.zip)
    set_tests_properties(package_of_both_trees_passes_the_package_check PROPERTIES
        PASS_REGULAR_EXPRESSION "catalogs mpsbus\\.cat, mpsport\\.cat are the exception.*signed by the test root \\(SHA-256\\): amd64/mpsbus\\.sys, amd64/mpsfilt\\.sys, amd64/mpsinst\\.exe, x86/mpsbus\\.sys, x86/mpsfilt\\.sys, x86/mpsinst\\.exe; no private key")
    add_test(NAME package_check_refuses_each_planted_fault
        COMMAND ${Python3_EXECUTABLE} ${package_scripts}/check_test.py ${package_trees}
                --scratch ${CMAKE_BINARY_DIR}/package-test/plants)
endif()
