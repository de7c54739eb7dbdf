# settings and image-list fuzzers
# The parser is compiled into the fuzzer itself so that libFuzzer sees its coverage.
zub_add_fuzzer(fuzz_settings fuzz_settings.cpp ${CMAKE_SOURCE_DIR}/settings/SettingsText.cpp)
zub_add_fuzzer(fuzz_imagelist fuzz_imagelist.cpp ${CMAKE_SOURCE_DIR}/image/ImageList.cpp
               ${CMAKE_SOURCE_DIR}/update/UrlForm.cpp)
