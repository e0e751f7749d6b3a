# Tests of the ZIP engine libzip32.so: its parts directly, its C interface in-process, and runs of
# zip32drive; archives are checked with unzip, zipinfo, 7-Zip and Python's zipfile.
if(TARGET zip32)
  add_executable(test_engine
    ${CMAKE_CURRENT_LIST_DIR}/engine_support.cpp
    ${CMAKE_CURRENT_LIST_DIR}/engine_support.h
    ${CMAKE_CURRENT_LIST_DIR}/engine_names_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/engine_archive_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/engine_bad_input_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/engine_crash_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/engine_driver_tests.cpp)
  target_link_libraries(test_engine PRIVATE zip32_objects GTest::gtest GTest::gtest_main
                        sondrel_options)
  target_compile_definitions(test_engine PRIVATE
    ENGINE_ZIPCHECK_PY="${CMAKE_CURRENT_LIST_DIR}/engine_zipcheck.py"
    ZIP32DRIVE="$<TARGET_FILE:zip32drive>"
    ZIP32_LIBRARY="$<TARGET_FILE:zip32>")
  add_dependencies(test_engine zip32drive)
  gtest_discover_tests(test_engine
    DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT 600)
endif()
