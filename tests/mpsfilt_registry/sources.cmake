# The filter's registry reader, compiled into the test so that it can be
# called with any path; the test supplies the debug level it traces against.
target_sources(test_mpsfilt_registry PRIVATE ${CMAKE_SOURCE_DIR}/PciChild/registry.cpp)
target_include_directories(test_mpsfilt_registry PRIVATE ${CMAKE_SOURCE_DIR}/include)
