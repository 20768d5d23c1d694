# The port bus interface on its own: the driver's interface and option
# routines with the real gendev library, under a board and port devices of
# the test's own over the gendev tests' lower bus driver.
target_sources(test_businterface PRIVATE ${CMAKE_SOURCE_DIR}/PciParent/bus_interface.cpp
                                         ${CMAKE_SOURCE_DIR}/PciParent/option_registers.cpp
                                         ${CMAKE_SOURCE_DIR}/PciParent/option_settings.cpp
                                         ${CMAKE_SOURCE_DIR}/PciParent/registry_values.cpp
                                         ${CMAKE_SOURCE_DIR}/PciParent/board_registers.cpp
                                         ${GENDEV_SOURCES}
                                         ${CMAKE_SOURCE_DIR}/tests/gendev/lower_driver.cpp
                                         ${CMAKE_SOURCE_DIR}/tests/gendev/events.cpp
                                         ${CMAKE_SOURCE_DIR}/tests/optionregs/option_ops.cpp)
target_include_directories(test_businterface PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/tests/gendev)
