# image fuzzers. The loader's sources are compiled into each target so that libFuzzer sees their
# coverage (zubcore itself is built without it).
set(ZUB_HEX_SOURCES ${CMAKE_SOURCE_DIR}/image/HexImage.cpp
    ${CMAKE_SOURCE_DIR}/image/HexMessages.cpp ${CMAKE_SOURCE_DIR}/image/LodCodec.cpp)
zub_add_fuzzer(fuzz_hex fuzz_hex.cpp ${ZUB_HEX_SOURCES})
zub_add_fuzzer(fuzz_lod fuzz_lod.cpp ${ZUB_HEX_SOURCES})
