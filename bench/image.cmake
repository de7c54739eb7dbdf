# image benches. The loader's source is compiled in with -O2 whatever the build type, and the tool
# links no Qt: its process time is the loader's, as objcopy's is binutils'.
set(ZUB_HEX_BENCH_SOURCES ${CMAKE_SOURCE_DIR}/image/HexImage.cpp)
add_executable(zub-hex2bin bench_hex_tool.cpp ${ZUB_HEX_BENCH_SOURCES})
target_include_directories(zub-hex2bin PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(zub-hex2bin PRIVATE -O2)

find_package(benchmark REQUIRED)
add_executable(bench_hex bench_hex.cpp ${ZUB_HEX_BENCH_SOURCES})
target_include_directories(bench_hex PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(bench_hex PRIVATE -O2)
target_link_libraries(bench_hex PRIVATE benchmark::benchmark)
target_compile_definitions(bench_hex PRIVATE ZUB_HEX2BIN="$<TARGET_FILE:zub-hex2bin>")
add_dependencies(bench_hex zub-hex2bin)
