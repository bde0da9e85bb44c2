// x2tables: lists, describes, encodes and decodes the entries of the chip's
// tables, using the generated table classes.
#include <unistd.h>

#include <iostream>

#include "Commands.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // A terminal on standard input means nothing was piped in: commands then
    // take their entry from the arguments alone instead of waiting for input.
    return x2tables::run(args, isatty(STDIN_FILENO) ? nullptr : &std::cin, std::cout, std::cerr);
}
