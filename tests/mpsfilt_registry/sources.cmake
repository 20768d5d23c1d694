# The filter's sources compiled into the test, so that the registry reader
# and the entry can be called with any path; the test sets the debug level
# they trace against.
target_sources(test_mpsfilt_registry PRIVATE ${MPSFILT_SOURCES})
target_include_directories(test_mpsfilt_registry PRIVATE ${CMAKE_SOURCE_DIR}/include)
