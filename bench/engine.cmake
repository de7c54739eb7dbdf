# engine benches: whole downloads through the window into the board simulator; prints figures.
add_executable(bench_download bench_download.cpp)
target_link_libraries(bench_download PRIVATE zub_engine_testsupport)
add_dependencies(bench_download zub-boardsim)
