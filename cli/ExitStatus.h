// Exit statuses of zubload: one table, from which --help prints its list; the man page lists the
// same codes with the same words (a test holds them together).
#pragma once

#include <array>

enum ExitStatus : int {
    ExitOk = 0,
    ExitFailed = 1,
    ExitUsage = 2,
    ExitPort = 3,
    ExitImage = 4,
    ExitTimeout = 5,
    ExitPortLost = 6,
    ExitHangup = 129,      // SIGHUP: 128 + 1
    ExitInterrupted = 130, // SIGINT: 128 + 2
    ExitTerminated = 143,  // SIGTERM: 128 + 15
};

struct ExitStatusText {
    ExitStatus Status;
    const char* Meaning;
};

constexpr std::array<ExitStatusText, 10> kExitStatuses = {{
    {ExitOk, "every board written"},
    {ExitFailed, "a download failed (any failure line of the engine)"},
    {ExitUsage, "usage error"},
    {ExitPort, "the port could not be opened"},
    {ExitImage, "the image could not be loaded or fetched"},
    {ExitTimeout, "no answer from the board within --timeout"},
    {ExitPortLost, "the port went away during the download"},
    {ExitHangup, "stopped by SIGHUP"},
    {ExitInterrupted, "stopped by SIGINT (Ctrl-C)"},
    {ExitTerminated, "stopped by SIGTERM"},
}};
