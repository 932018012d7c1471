# Build settings shared by every davro target, and the helpers that add tests and benchmarks.

# Warnings, warnings-as-errors and sanitizers for one target.
function(davro_target_settings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4)
        if(DAVRO_WERROR)
            target_compile_options(${target} PRIVATE /WX)
        endif()
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                                                 -Wnon-virtual-dtor -Wold-style-cast)
        if(DAVRO_WERROR)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
    endif()
    if(DAVRO_SANITIZE)
        target_compile_options(${target} PRIVATE -fsanitize=${DAVRO_SANITIZE}
                                                 -fno-omit-frame-pointer -fno-sanitize-recover=all)
        target_link_options(${target} PRIVATE -fsanitize=${DAVRO_SANITIZE})
    endif()
endfunction()

# davro_add_test(NAME name SRCS a.cpp ... [LABELS unit ...] [TIMEOUT s] [LIBS ...] [ENVIRONMENT ...])
# One GoogleTest executable; every test in it becomes a ctest test with the labels given.
function(davro_add_test)
    cmake_parse_arguments(ARG "" "NAME;TIMEOUT" "SRCS;LABELS;LIBS;ENVIRONMENT" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    if(NOT ARG_LABELS)
        set(ARG_LABELS unit)
    endif()
    add_executable(${ARG_NAME} ${ARG_SRCS})
    target_link_libraries(${ARG_NAME} PRIVATE davro::davro davro_test_support GTest::gtest_main
                                              ${ARG_LIBS})
    davro_target_settings(${ARG_NAME})
    # gtest_discover_tests flattens PROPERTIES into one list, so a second label or variable
    # would be read as a property name and the rest shifted. List-valued properties are set
    # by a ctest include file that runs after discovery, on every discovered test.
    gtest_discover_tests(${ARG_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         TEST_LIST ${ARG_NAME}_TESTS PROPERTIES TIMEOUT ${ARG_TIMEOUT})
    set(properties "LABELS [==[${ARG_LABELS}]==]")
    if(ARG_ENVIRONMENT)
        string(APPEND properties " ENVIRONMENT [==[${ARG_ENVIRONMENT}]==]")
    endif()
    set(file ${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}_properties.cmake)
    file(WRITE ${file} "foreach(test IN LISTS ${ARG_NAME}_TESTS)\n"
                       "    set_tests_properties(\"\${test}\" PROPERTIES ${properties})\n"
                       "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
endfunction()

# davro_add_bench(NAME name SRCS a.cpp ... [LIBS ...])
function(davro_add_bench)
    cmake_parse_arguments(ARG "" "NAME" "SRCS;LIBS" ${ARGN})
    add_executable(${ARG_NAME} ${ARG_SRCS})
    target_link_libraries(${ARG_NAME} PRIVATE davro::davro benchmark::benchmark ${ARG_LIBS})
    davro_target_settings(${ARG_NAME})
    set_property(GLOBAL APPEND PROPERTY DAVRO_BENCHMARKS ${ARG_NAME})
endfunction()
