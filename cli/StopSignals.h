// Ctrl-C, SIGTERM and SIGHUP as a Stop: the handler only writes one byte into a pipe, which the
// event loop reads, so nothing but async-signal-safe calls runs in signal context. A second
// signal is one more Stop for the event loop: the row is written and the output flushed either
// way. Only a third, for a program that no longer gets to its event loop, ends it at once.
#pragma once

// Installs the handlers; returns the pipe's read end, or -1 when no pipe could be made.
int InstallStopSignals();

// A stop signal has arrived (the byte may still wait in the pipe).
bool StopSignalSeen();

// The first stop signal's number (SIGINT, SIGTERM or SIGHUP), 0 before any.
int StopSignalNumber();

// The exit status for the first stop signal: 128 + its number (129 SIGHUP, 130 SIGINT, 143
// SIGTERM), 130 before any.
int StopSignalStatus();

// Reads the pipe empty; call when its read end is readable.
void DrainStopSignals(int readFd);
