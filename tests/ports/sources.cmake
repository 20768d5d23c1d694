# Port creation, identity and services with the model table, on a board
# device made by hand and filled as identification leaves it. The driver
# sources are compiled as driver code (the kernel's 16-bit wide-character
# routines, not the C library's), then linked into the test.
add_library(test_ports_driver_code OBJECT ${CMAKE_SOURCE_DIR}/PciParent/port_devices.cpp
                                          ${CMAKE_SOURCE_DIR}/PciParent/port_services.cpp
                                          ${CMAKE_SOURCE_DIR}/PciParent/orphan_ports.cpp
                                          ${CMAKE_SOURCE_DIR}/PciParent/models.cpp
                                          ${CMAKE_SOURCE_DIR}/PciParent/resources.cpp
                                          ${CMAKE_SOURCE_DIR}/PciParent/nonpaged_pool.cpp
                                          ${CMAKE_SOURCE_DIR}/PciParent/board_registers.cpp)
target_include_directories(test_ports_driver_code PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include
                                                          ${CMAKE_SOURCE_DIR}/platform/include)
target_compile_definitions(test_ports_driver_code PRIVATE ${MPS_DRIVER_DEFINES})
target_compile_options(test_ports_driver_code PRIVATE ${MPS_DRIVER_CXX_FLAGS})
target_sources(test_ports PRIVATE $<TARGET_OBJECTS:test_ports_driver_code>)
target_include_directories(test_ports PRIVATE ${CMAKE_SOURCE_DIR}/include)
