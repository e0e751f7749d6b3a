# Tests of the archiver component libTv_ZIP.so: its rules against a fake engine, and a few runs
# over the real engine when the zip32 target is part of this build.
if(TARGET Tv_ZIP)
  # Test-only engines, kept out of the private library folder.
  add_library(component_fake_engine SHARED ${CMAKE_CURRENT_LIST_DIR}/component_fake_engine.cpp
              ${CMAKE_CURRENT_LIST_DIR}/component_fake_engine.h)
  add_library(component_partial_engine SHARED ${CMAKE_CURRENT_LIST_DIR}/component_partial_engine.c)
  foreach(engine component_fake_engine component_partial_engine)
    target_include_directories(${engine} PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${engine} PRIVATE sondrel_options)
    set_target_properties(${engine} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endforeach()

  add_executable(test_component
    ${CMAKE_CURRENT_LIST_DIR}/component_test_main.cpp
    ${CMAKE_CURRENT_LIST_DIR}/component_support.cpp
    ${CMAKE_CURRENT_LIST_DIR}/component_support.h
    ${CMAKE_CURRENT_LIST_DIR}/component_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/component_e2e_tests.cpp)
  target_link_libraries(test_component PRIVATE Tv_ZIP GTest::gtest ${CMAKE_DL_LIBS} sondrel_options)
  target_compile_definitions(test_component PRIVATE
    FAKE_ENGINE_PATH="$<TARGET_FILE:component_fake_engine>"
    PARTIAL_ENGINE_PATH="$<TARGET_FILE:component_partial_engine>")
  # The test engines are loaded at run time only.
  add_dependencies(test_component component_fake_engine component_partial_engine)
  # The library of the ordinary build, whose exports are checked.
  if(SONDREL_RELEASE_BUILD_DIR)
    target_compile_definitions(test_component PRIVATE
      RELEASE_TV_ZIP="${SONDREL_RELEASE_BUILD_DIR}/${SONDREL_PRIVATE_LIBDIR}/libTv_ZIP.so")
  endif()
  if(TARGET zip32)
    target_compile_definitions(test_component PRIVATE SONDREL_HAVE_ZIP32)
    add_dependencies(test_component zip32)
  endif()
  gtest_discover_tests(test_component
    DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT 300 SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
endif()
