# image fuzzers
