# image tests
zub_add_test(tst_hex SOURCES tst_hex.cpp LIBS zubcore)
zub_add_test(tst_loadfile SOURCES tst_loadfile.cpp LIBS zubui)

# The committed fuzzing corpora replayed through their targets' entry points.
foreach(target hex lod)
    zub_add_test(tst_hex_corpus_${target}
        SOURCES tst_hex_corpus.cpp ${CMAKE_SOURCE_DIR}/fuzz/fuzz_${target}.cpp LIBS zubcore)
    target_compile_definitions(tst_hex_corpus_${target} PRIVATE
        ZUB_CORPUS_DIR="${CMAKE_SOURCE_DIR}/fuzz/corpus/${target}")
endforeach()
