# Small helpers shared by every CMakeLists of the tree.

# Adds every direct sub-folder of the current source folder that has a CMakeLists.txt.
function(vexlor_add_subdirectories)
    file(GLOB children LIST_DIRECTORIES true RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}"
         "${CMAKE_CURRENT_SOURCE_DIR}/*")
    list(SORT children)
    foreach(child IN LISTS children)
        if(IS_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}/${child}"
           AND EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt")
            add_subdirectory(${child})
        endif()
    endforeach()
endfunction()

# vexlor_add_test(NAME <name> SOURCES <files...> LIBS <libs...>
#                 [LOCKS <resource...>] [TIMEOUT <seconds>] [LABELS <labels...>])
# One Qt Test executable, registered with CTest, run offscreen.
# LOCKS names CTest resource locks: "port55000", "port515", "tmpdirs" for the
# fixed port and the fixed folders in /tmp.
function(vexlor_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LOCKS;LABELS;ENV" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt5::Test ${T_LIBS})
    target_compile_definitions(${T_NAME} PRIVATE
        VEXLOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        VEXLOR_BINARY_DIR="${PROJECT_BINARY_DIR}")
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/offscreen-leaks.supp;${T_ENV}")
    if(T_LOCKS)
        set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
    endif()
    if(T_LABELS)
        set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()

# vexlor_add_benchmark(NAME <name> SOURCES <files...> LIBS <libs...>)
# A Google Benchmark program; built with the tree, never run as a test.
function(vexlor_add_benchmark)
    cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
    find_package(benchmark QUIET)
    if(NOT benchmark_FOUND)
        message(STATUS "Google Benchmark not found, skipping ${B_NAME}")
        return()
    endif()
    add_executable(${B_NAME} ${B_SOURCES})
    target_link_libraries(${B_NAME} PRIVATE benchmark::benchmark ${B_LIBS})
    target_compile_definitions(${B_NAME} PRIVATE
        VEXLOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        VEXLOR_BINARY_DIR="${PROJECT_BINARY_DIR}")
endfunction()
