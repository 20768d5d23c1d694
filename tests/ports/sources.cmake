# Port creation, identity and services with the model table, on a board
# device made by hand and filled as identification leaves it. The driver
# sources are linked as the image is built from them (the kernel's 16-bit
# wide-character routines, not the C library's).
target_sources(test_ports PRIVATE ${CMAKE_SOURCE_DIR}/PciParent/port_devices.cpp
                                  ${CMAKE_SOURCE_DIR}/PciParent/port_services.cpp
                                  ${CMAKE_SOURCE_DIR}/PciParent/orphan_ports.cpp
                                  ${CMAKE_SOURCE_DIR}/gendev/generic_target_relation.cpp
                                  ${CMAKE_SOURCE_DIR}/PciParent/models.cpp
                                  ${CMAKE_SOURCE_DIR}/PciParent/resources.cpp
                                  ${CMAKE_SOURCE_DIR}/PciParent/nonpaged_pool.cpp
                                  ${CMAKE_SOURCE_DIR}/PciParent/board_registers.cpp)
target_include_directories(test_ports PRIVATE ${CMAKE_SOURCE_DIR}/include)
