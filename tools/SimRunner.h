// The pseudo-terminal side of the board simulator: creates the pty pair, serves the protocol core
// on the master, follows the host closing and reopening the slave, paces the wire and keeps the
// flash and event files.
#pragma once

#include "tools/SimProtocol.h"

#include <string>
#include <vector>

namespace zubsim {

struct RunOptions {
    BoardConfig board;
    std::string link;       // symlink to the slave device, removed on exit
    std::string flashOut;   // flash image written at each end frame
    std::string events;     // event record, one line per event, appended
    int paceBaud = 0;       // 0: no pacing
    int replyLatencyMs = 0; // each reply held this long after its last byte, as a USB adapter does
    bool once = false;      // exit after the first end frame
    bool verbose = false;   // events also on stderr
};

// Reads the command line. On failure returns false and says why in *error.
bool ParseArgs(const std::vector<std::string>& args, RunOptions* options, std::string* error);
const char* Usage();

// Runs until SIGTERM/SIGINT/SIGHUP, or after the first end frame with once. Returns the exit code.
int RunSimulator(const RunOptions& options);

} // namespace zubsim
