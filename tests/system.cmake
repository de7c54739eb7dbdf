# system tests: the start-up sequence, the built program driven from outside, the soak run
zub_add_test(tst_startup SOURCES tst_startup.cpp LIBS zubui TIMEOUT 120)
zub_add_test(tst_soak SOURCES tst_soak.cpp LIBS zubui zub_board_testsupport TIMEOUT 900)
add_dependencies(tst_soak zub-boardsim)

# The built program in a real X server (Xvfb, xdotool, xclip, python3-xlib), with the board
# simulator and a local update server at the host the program was built for: hence the lock.
# The local update servers of these tests speak plain HTTP: a build for an https:// host is
# covered by the update tests' own TLS server instead.
string(REGEX REPLACE "^[Hh][Tt][Tt][Pp]://" "" ZUB_TEST_HOST "${ZUB_UPDATE_HOST}")
if(ZUB_TEST_HOST MATCHES "://")
    set(ZUB_PLAIN_HOST OFF)
    message(STATUS "e2e_operator and zubload_cli left out: no plain HTTP server at ${ZUB_UPDATE_HOST}")
else()
    set(ZUB_PLAIN_HOST ON)
endif()
find_program(ZUB_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(ZUB_SYSTEM_PYTHON python3)
find_program(ZUB_OBJCOPY objcopy)
if(ZUB_PLAIN_HOST)
    add_test(NAME e2e_operator
             COMMAND ${ZUB_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/e2e_operator.py
                     --app $<TARGET_FILE:zubloader> --sim $<TARGET_FILE:zub-boardsim>
                     --host ${ZUB_TEST_HOST} --images ${CMAKE_SOURCE_DIR}/demo/make-images.py
                     --objcopy ${ZUB_OBJCOPY} --artifacts ${CMAKE_BINARY_DIR}/test-artifacts)
    set_tests_properties(e2e_operator PROPERTIES TIMEOUT 900 RESOURCE_LOCK zub_update_host)
endif()

# cmake --install into a fresh prefix; the installed launcher starts the program in its folder.
add_test(NAME install_launcher
         COMMAND ${ZUB_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/install_check.py
                 --build ${CMAKE_BINARY_DIR})
# The installed program is ended before its start-up sequence, but it would ask the build's host.
set_tests_properties(install_launcher PROPERTIES TIMEOUT 120 RESOURCE_LOCK zub_update_host)

# The command-line loader run as a jig script runs it, against the board simulator; one case
# fetches from a local update server at the build's host.
if(ZUB_PLAIN_HOST)
    add_test(NAME zubload_cli
             COMMAND ${ZUB_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/zubload_cli.py
                     --zubload $<TARGET_FILE:zubload> --sim $<TARGET_FILE:zub-boardsim>
                     --host ${ZUB_TEST_HOST} --images ${CMAKE_SOURCE_DIR}/demo/make-images.py
                     --objcopy ${ZUB_OBJCOPY})
    set_tests_properties(zubload_cli PROPERTIES TIMEOUT 300 RESOURCE_LOCK zub_update_host)
endif()
