# update tests
zub_add_test(tst_update SOURCES tst_update.cpp tst_update_servers.h LIBS zubui TIMEOUT 120)
zub_add_test(tst_imagelist SOURCES tst_imagelist.cpp LIBS zubui)
zub_add_test(tst_update_command SOURCES tst_update_command.cpp tst_update_servers.h LIBS zubui TIMEOUT 120)
