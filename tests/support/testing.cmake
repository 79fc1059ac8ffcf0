# classroom_add_test(<name> SOURCES <files...> [LIBS <targets...>] [AUDIO] [WIDGETS]
#                    [TIMEOUT <seconds>] [LABELS <labels...>])
#
# Builds one QtTest executable and registers it with CTest. AUDIO runs it inside
# a private PulseAudio server (with-pulse.sh); WIDGETS selects the offscreen
# platform so that no display is needed.
set(CLASSROOM_WITH_PULSE ${CMAKE_CURRENT_LIST_DIR}/with-pulse.sh)
set(CLASSROOM_LSAN_SUPPRESSIONS ${CMAKE_CURRENT_LIST_DIR}/lsan.supp)

function(classroom_add_test name)
    cmake_parse_arguments(T "AUDIO;WIDGETS" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE project_options Qt5::Test ${T_LIBS})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/tests)
    if(T_AUDIO)
        add_test(NAME ${name} COMMAND ${CLASSROOM_WITH_PULSE} $<TARGET_FILE:${name}>)
        list(APPEND T_LABELS audio)
    else()
        add_test(NAME ${name} COMMAND ${name})
    endif()
    set(env
        "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1"
        "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
        "LSAN_OPTIONS=suppressions=${CLASSROOM_LSAN_SUPPRESSIONS}:print_suppressions=0"
        "CLASSROOM_TEST_DATA=${CMAKE_BINARY_DIR}/testdata"
        "CLASSROOM_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
    if(T_WIDGETS)
        list(APPEND env "QT_QPA_PLATFORM=offscreen")
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}")
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()
