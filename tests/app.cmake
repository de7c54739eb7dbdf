# app tests
zub_add_test(tst_window SOURCES tst_window.cpp LIBS zubui)

# The exit-code test runs a small program built on the real application object.
add_executable(tst_app_exit_helper tst_app_exit_helper.cpp)
target_include_directories(tst_app_exit_helper PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(tst_app_exit_helper PRIVATE zubui)
zub_add_test(tst_app_exit SOURCES tst_app_exit.cpp)
target_compile_definitions(tst_app_exit PRIVATE ZUB_EXIT_HELPER="$<TARGET_FILE:tst_app_exit_helper>")
add_dependencies(tst_app_exit tst_app_exit_helper)
# ... and the window program itself, started without a display.
target_compile_definitions(tst_app_exit PRIVATE ZUB_LOADER="$<TARGET_FILE:zubloader>")
add_dependencies(tst_app_exit zubloader)
