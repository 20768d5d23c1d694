# Resource capture and the board checks compiled into the test, reaching the
# board hardware models through the host kernel's I/O and memory space.
set(RESOURCES_DRIVER_SOURCES ${CMAKE_SOURCE_DIR}/PciParent/resources.cpp
                             ${CMAKE_SOURCE_DIR}/PciParent/nonpaged_pool.cpp
                             ${CMAKE_SOURCE_DIR}/PciParent/board_registers.cpp)
target_sources(test_resources PRIVATE ${RESOURCES_DRIVER_SOURCES})
set_source_files_properties(${RESOURCES_DRIVER_SOURCES} TARGET_DIRECTORY test_resources
                            PROPERTIES COMPILE_OPTIONS -UHK_HOST_SIDE)
target_include_directories(test_resources PRIVATE ${CMAKE_SOURCE_DIR}/include)
