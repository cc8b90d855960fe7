# quenvar_add_test(NAME <name> SOURCES <files...> LIBS <targets...> [LOCKS <resources...>])
# One Qt Test executable run by CTest under the offscreen platform.
function(quenvar_add_test)
    cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LOCKS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt6::Test ${T_LIBS})
    target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
        TIMEOUT 600)
    if(T_LOCKS)
        set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
    endif()
endfunction()
