# engine tests: the window offscreen, driving the simulated board over a pty. Independent
# groups are separate executables so that ctest -j2 overlaps their waits.
# The board, server and file helpers need no window; the window rig is built on them.
add_library(zub_board_testsupport STATIC tst_board_support.h tst_board_support.cpp)
target_link_libraries(zub_board_testsupport PUBLIC Qt6::Core Qt6::Test util)
target_include_directories(zub_board_testsupport PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(zub_board_testsupport PRIVATE ZUB_BINARY_DIR="${CMAKE_BINARY_DIR}")
add_library(zub_engine_testsupport STATIC tst_engine_support.h tst_engine_support.cpp)
target_link_libraries(zub_engine_testsupport PUBLIC zub_board_testsupport zubui)
foreach(t tst_engine_download tst_engine_timeouts tst_engine_refusals tst_engine_controls)
    zub_add_test(${t} SOURCES ${t}.cpp LIBS zub_engine_testsupport TIMEOUT 120)
    add_dependencies(${t} zub-boardsim)
endforeach()
foreach(t tst_modelimage_fetch tst_modelimage_refusals)
    zub_add_test(${t} SOURCES ${t}.cpp LIBS zub_engine_testsupport TIMEOUT 120)
    add_dependencies(${t} zub-boardsim)
endforeach()
# The engine alone, without the window's libraries or platform.
zub_add_test(tst_engine_core SOURCES tst_engine_core.cpp LIBS zubengine zub_board_testsupport
             TIMEOUT 60)
add_dependencies(tst_engine_core zub-boardsim)
set_tests_properties(tst_engine_core PROPERTIES ENVIRONMENT_MODIFICATION "QT_QPA_PLATFORM=unset:")
