# zub_gzip(SOURCE OUTPUT): OUTPUT is SOURCE compressed as Debian wants man pages and changelogs
# (gzip -9, no name or time stamp, so the output is the same from build to build). Done at
# configure time, and again whenever SOURCE changes.
# zub_install_man(PAGE): installs the man page PAGE (e.g. zubload.1, relative to the current
# source folder or absolute) compressed into its section folder, with @PROJECT_VERSION@ in it
# replaced by the project's version.
include_guard(GLOBAL)
include(GNUInstallDirs)
find_program(ZUB_GZIP gzip REQUIRED)

function(zub_gzip source output)
    get_filename_component(source ${source} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    execute_process(COMMAND ${ZUB_GZIP} -9 -n -c ${source} OUTPUT_FILE ${output}
                    COMMAND_ERROR_IS_FATAL ANY)
endfunction()

function(zub_install_man page)
    get_filename_component(name ${page} NAME)
    string(REGEX MATCH "[0-9]$" section ${name})
    configure_file(${page} ${CMAKE_CURRENT_BINARY_DIR}/man/${name} @ONLY)
    zub_gzip(${CMAKE_CURRENT_BINARY_DIR}/man/${name} ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()
