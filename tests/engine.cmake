# engine tests: the window offscreen, driving the simulated board over a pty. Independent
# groups are separate executables so that ctest -j2 overlaps their waits.
add_library(zub_engine_testsupport STATIC tst_engine_support.h tst_engine_support.cpp)
target_link_libraries(zub_engine_testsupport PUBLIC zubui Qt6::Test util)
target_include_directories(zub_engine_testsupport PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(zub_engine_testsupport PRIVATE ZUB_BINARY_DIR="${CMAKE_BINARY_DIR}")
foreach(t tst_engine_download tst_engine_timeouts tst_engine_refusals tst_engine_controls)
    zub_add_test(${t} SOURCES ${t}.cpp LIBS zub_engine_testsupport TIMEOUT 120)
    add_dependencies(${t} zub-boardsim)
endforeach()
foreach(t tst_modelimage_fetch tst_modelimage_refusals)
    zub_add_test(${t} SOURCES ${t}.cpp LIBS zub_engine_testsupport TIMEOUT 120)
    add_dependencies(${t} zub-boardsim)
endforeach()
