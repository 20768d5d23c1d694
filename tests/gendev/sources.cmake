# The library is tested on its own, linked into the test with a client
# driver of the tests' own.
target_sources(test_gendev PRIVATE ${GENDEV_SOURCES})
target_include_directories(test_gendev PRIVATE ${CMAKE_SOURCE_DIR}/include)
