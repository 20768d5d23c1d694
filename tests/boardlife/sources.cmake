# The board's creation, stop and removal, with stand-ins for the gendev
# library and for the port routines they hand to it.
target_sources(test_boardlife PRIVATE ${CMAKE_SOURCE_DIR}/PciParent/board_device.cpp)
target_include_directories(test_boardlife PRIVATE ${CMAKE_SOURCE_DIR}/include)
