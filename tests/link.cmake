# link tests
zub_add_test(tst_comm SOURCES tst_comm.cpp tst_comm_pty.h LIBS zubui TIMEOUT 120)
