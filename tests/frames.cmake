# frames tests
zub_add_test(tst_frames SOURCES tst_frames.cpp LIBS zubcore TIMEOUT 60)
