# image tests
zub_add_test(tst_hex SOURCES tst_hex.cpp LIBS zubcore)
zub_add_test(tst_loadfile SOURCES tst_loadfile.cpp LIBS zubui)
