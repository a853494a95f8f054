# sorlen_add_test(NAME SOURCES a.cpp b.cpp LIBS lib... [LABELS label...])
# One GoogleTest executable per target, linked with the shared test support (tests/support);
# every test case becomes a CTest test.
# Label "threaded" marks suites that the ThreadSanitizer build runs; target threaded_tests builds
# just those. With SORLEN_TESTS off it adds nothing, so the folders declare their suites as usual.
add_custom_target(threaded_tests)
function(sorlen_add_test name)
    if(NOT SORLEN_TESTS)
        return()
    endif()
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} sorlen_testsupport GTest::gtest_main GTest::gmock
        Threads::Threads)
    target_compile_definitions(${name} PRIVATE SORLEN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    # A list value does not survive the discovery script (it splits into separate properties),
    # so the suite's own labels go on its folder, which CTest applies to every test in it.
    set_property(DIRECTORY APPEND PROPERTY LABELS ${ARG_LABELS})
    if("threaded" IN_LIST ARG_LABELS)
        add_dependencies(threaded_tests ${name})
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT 180 LABELS ${name} ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
