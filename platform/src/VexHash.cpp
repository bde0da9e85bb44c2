#include <cstdlib>
#include <random>

#include "Vex/Hash.h"

namespace Vex {

std::uint32_t HashHelper::hashSeed32() {
    static std::uint32_t const seed = [] {
        if (char const* env = std::getenv("VEX_HASH_SEED")) return std::uint32_t(std::strtoul(env, nullptr, 0));
        std::random_device rd;
        return std::uint32_t(rd());
    }();
    return seed;
}

}  // namespace Vex
