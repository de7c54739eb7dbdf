# system tests: the start-up sequence, the built program driven from outside, the soak run
zub_add_test(tst_startup SOURCES tst_startup.cpp LIBS zubui TIMEOUT 120)
