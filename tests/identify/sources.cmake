# Identification compiled into the test, answering from device properties
# that the test serves through the host kernel. Driver code sees the kernel's
# wide-character routines, not the C library's.
set(IDENTIFY_DRIVER_SOURCES ${CMAKE_SOURCE_DIR}/PciParent/identify.cpp ${CMAKE_SOURCE_DIR}/PciParent/models.cpp)
target_sources(test_identify PRIVATE ${IDENTIFY_DRIVER_SOURCES})
set_source_files_properties(${IDENTIFY_DRIVER_SOURCES} TARGET_DIRECTORY test_identify PROPERTIES COMPILE_OPTIONS -UHK_HOST_SIDE)
target_include_directories(test_identify PRIVATE ${CMAKE_SOURCE_DIR}/include)
