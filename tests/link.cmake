# link tests
zub_add_test(tst_comm SOURCES tst_comm.cpp tst_comm_pty.h LIBS zubengine TIMEOUT 120)
zub_add_test(tst_receive SOURCES tst_receive.cpp tst_comm_pty.h LIBS zubui TIMEOUT 120)
zub_add_test(tst_portscan SOURCES tst_portscan.cpp tst_comm_pty.h LIBS zubui TIMEOUT 120)
