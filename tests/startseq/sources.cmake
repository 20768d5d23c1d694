# The start sequence alone, with recording stand-ins for the steps it calls.
target_sources(test_startseq PRIVATE ${CMAKE_SOURCE_DIR}/PciParent/start_sequence.cpp)
target_include_directories(test_startseq PRIVATE ${CMAKE_SOURCE_DIR}/include)
