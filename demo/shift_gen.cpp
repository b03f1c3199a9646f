// shift_gen FOLDER: writes the demo's production shift (demo_shift.h) into
// FOLDER and prints the files written, one a line.
#include <cstdio>
#include <string>
#include <vector>

#include "demo_shift.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: shift_gen FOLDER\n");
        return 1;
    }
    std::vector<std::string> paths;
    std::string error;
    if (!demo_write_shift(argv[1], &paths, &error)) {
        std::fprintf(stderr, "shift_gen: %s\n", error.c_str());
        return 1;
    }
    for (const std::string &p : paths) std::printf("%s\n", p.c_str());
    return 0;
}
