# A 32 KiB download into the zubboot loader of a paced simulated ATmega328P, against the wire
# time: cmake --build <build> --target bench_avr_download (prints figures).
if(ZUB_AVR_FOUND AND TARGET zub-avrsim)
    find_program(ZUB_BENCH_PYTHON python3)
    add_custom_target(bench_avr_download
        COMMAND ${ZUB_BENCH_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/avr_download.py
                --zubload $<TARGET_FILE:zubload> --avrsim $<TARGET_FILE:zub-avrsim>
                --firmware ${CMAKE_BINARY_DIR}/firmware/avr --objcopy ${ZUB_AVR_OBJCOPY}
        DEPENDS zubload zub-avrsim avr-firmware
        USES_TERMINAL VERBATIM)
endif()
