// Ctrl-C, SIGTERM and SIGHUP as a Stop: the handler only writes one byte into a pipe, which the
// event loop reads, so nothing but async-signal-safe calls runs in signal context. A second
// signal while the first is still pending ends the process at once.
#pragma once

// Installs the handlers; returns the pipe's read end, or -1 when no pipe could be made.
int InstallStopSignals();

// A stop signal has arrived (the byte may still wait in the pipe).
bool StopSignalSeen();

// Reads the pipe empty; call when its read end is readable.
void DrainStopSignals(int readFd);
