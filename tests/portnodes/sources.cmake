# The tests read the port devices' extensions.
target_include_directories(test_portnodes PRIVATE ${CMAKE_SOURCE_DIR}/include)
