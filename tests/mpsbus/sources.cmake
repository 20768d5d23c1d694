# The lower bus driver and event log that the gendev tests use stand under
# the board here too.
target_sources(test_mpsbus PRIVATE ${CMAKE_SOURCE_DIR}/tests/gendev/lower_driver.cpp
                                   ${CMAKE_SOURCE_DIR}/tests/gendev/events.cpp)
target_include_directories(test_mpsbus PRIVATE ${CMAKE_SOURCE_DIR}/tests/gendev ${CMAKE_SOURCE_DIR}/include)
