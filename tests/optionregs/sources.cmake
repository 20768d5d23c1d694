# The option registers on their own: the driver's register and registry
# routines against the board hardware model and the host registry.
target_sources(test_optionregs PRIVATE ${CMAKE_SOURCE_DIR}/PciParent/option_registers.cpp
                                       ${CMAKE_SOURCE_DIR}/PciParent/option_settings.cpp
                                       ${CMAKE_SOURCE_DIR}/PciParent/registry_values.cpp
                                       ${CMAKE_SOURCE_DIR}/PciParent/board_registers.cpp)
target_include_directories(test_optionregs PRIVATE ${CMAKE_SOURCE_DIR}/include)
