# The option registers and the port bus interface through the mpsbus image
# on the simulated machine; the option operations are read from its I/O log.
target_sources(test_optionsmachine PRIVATE ${CMAKE_SOURCE_DIR}/tests/optionregs/option_ops.cpp)
target_include_directories(test_optionsmachine PRIVATE ${CMAKE_SOURCE_DIR}/include)
