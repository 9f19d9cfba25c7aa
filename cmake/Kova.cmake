# Helpers shared by every directory: one library target per directory, one test program per
# tested directory.

# kova_library(NAME DEPS...): a static library of the directory's *.cpp files. Until a
# directory has sources it is an interface target, so that dependents link either way.
function(kova_library name)
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    if(sources)
        add_library(${name} STATIC ${sources})
        target_link_libraries(${name} PUBLIC ${ARGN})
        target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    else()
        add_library(${name} INTERFACE)
        target_link_libraries(${name} INTERFACE ${ARGN})
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    endif()
endfunction()

# kova_tests(test_DIR LIBS...): one GoogleTest program of tests/DIR/*.cpp; every test is
# registered with CTest except the helpers that tests start as child processes (a suite named
# ...Child, or a test named Child), which would only show as skipped. Fixtures and built
# programs are found through tests/support. On Windows the files in KOVA_POSIX_ONLY_TESTS are
# left out, elsewhere those in KOVA_WINDOWS_ONLY_TESTS.
function(kova_tests name)
    string(REPLACE "test_" "" dir ${name})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
    if(WIN32)
        foreach(posix_only ${KOVA_POSIX_ONLY_TESTS})
            list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${posix_only})
        endforeach()
    else()
        foreach(windows_only ${KOVA_WINDOWS_ONLY_TESTS})
            list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${windows_only})
        endforeach()
    endif()
    if(NOT sources)
        return()
    endif()
    add_executable(${name} ${sources})
    target_link_libraries(${name} PRIVATE ${ARGN} kova_testing GTest::gtest_main GTest::gmock)
    if(WIN32)
        # Under Wine every process start costs seconds: one run of each test program, and no
        # discovery (which would run it) at build time.
        add_test(NAME ${name} COMMAND ${name} "--gtest_filter=-*Child.*:*.Child")
        # The slowest program takes about 20 s; a hang should not cost more than two minutes.
        set_tests_properties(${name} PROPERTIES TIMEOUT 120)
    else()
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "-*Child.*:*.Child"
                             PROPERTIES TIMEOUT 300)
    endif()
    set_property(GLOBAL APPEND PROPERTY kova_test_programs ${name})
endfunction()
