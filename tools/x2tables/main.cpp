// x2tables: lists, describes, encodes and decodes the entries of the chip's
// tables, using the generated table classes.
#include <iostream>

#include "Commands.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return x2tables::run(args, std::cout, std::cerr);
}
