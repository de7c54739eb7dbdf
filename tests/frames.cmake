# frames tests
zub_add_test(tst_frames SOURCES tst_frames.cpp LIBS zubcore TIMEOUT 60)
zub_add_test(tst_simulator SOURCES tst_simulator.cpp TIMEOUT 120)
add_dependencies(tst_simulator zub-boardsim)
zub_add_test(tst_frames_pty SOURCES tst_frames_pty.cpp LIBS zubui TIMEOUT 120)
add_dependencies(tst_frames_pty zub-boardsim)
