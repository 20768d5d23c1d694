# The filter is tested as the image it is; the tests only read its private
# header (the device extension) and the bus interface record.
target_include_directories(test_mpsfilt PRIVATE ${CMAKE_SOURCE_DIR}/include)
