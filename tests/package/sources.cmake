# The driver's own identification, compiled in with the identification tests'
# fixture, judges every hardware ID the package's board INF lists.
set(PACKAGE_DRIVER_SOURCES ${CMAKE_SOURCE_DIR}/PciParent/identify.cpp ${CMAKE_SOURCE_DIR}/PciParent/models.cpp)
target_sources(test_package PRIVATE ${PACKAGE_DRIVER_SOURCES} ${CMAKE_SOURCE_DIR}/tests/identify/identify_fixture.cpp)
set_source_files_properties(${PACKAGE_DRIVER_SOURCES} TARGET_DIRECTORY test_package PROPERTIES COMPILE_OPTIONS -UHK_HOST_SIDE)
target_include_directories(test_package PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_compile_definitions(test_package PRIVATE MPS_BOARD_INF="${CMAKE_SOURCE_DIR}/package/mpsbus.inf"
                                               MPS_PORT_INF="${CMAKE_SOURCE_DIR}/package/mpsport.inf")
