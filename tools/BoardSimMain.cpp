// zub-boardsim: a serial boot loader on a pseudo-terminal, so the loader can be run and tested
// with no board attached.
#include "tools/SimRunner.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            std::fputs(zubsim::Usage(), stdout);
            return 0;
        }
    }
    zubsim::RunOptions options;
    std::string error;
    if (!zubsim::ParseArgs(args, &options, &error)) {
        std::fprintf(stderr, "zub-boardsim: %s\n%s", error.c_str(), zubsim::Usage());
        return 2;
    }
    return zubsim::RunSimulator(options);
}
