# settings and image-list fuzzers
