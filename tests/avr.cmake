# The zubboot boot loader's machine code in simulated chips (zub-avrsim on simavr), written to
# by the built zubload. Needs avr-gcc (the firmware) and libsimavr (the runner).
if(ZUB_AVR_FOUND AND TARGET zub-avrsim)
    find_program(ZUB_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
    find_program(ZUB_SYSTEM_PYTHON python3)
    add_test(NAME avr_bootloader
             COMMAND ${ZUB_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/avr_bootloader.py
                     --zubload $<TARGET_FILE:zubload> --avrsim $<TARGET_FILE:zub-avrsim>
                     --firmware ${CMAKE_BINARY_DIR}/firmware/avr --objcopy ${ZUB_AVR_OBJCOPY}
                     --boardsim $<TARGET_FILE:zub-boardsim>)
    set_tests_properties(avr_bootloader PROPERTIES TIMEOUT 300)
else()
    message(STATUS "avr_bootloader left out: no avr-gcc or no libsimavr")
endif()
