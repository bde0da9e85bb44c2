#pragma once
// Assertions that stop the process. They guard our own invariants, never a
// caller's input: a failed fmassert is a bug, reported with the class, source
// file, function and line, then the process aborts (leaving a core).
#include <string_view>

#include <fmt/format.h>

namespace Lumo {

[[noreturn]] void fmassertFail(std::string_view cls, std::string_view file, std::string_view func,
                               int line, std::string_view message);

}  // namespace Lumo

// LUMO_FMASSERT(cond, "Class", "format {}", args...)
#define LUMO_FMASSERT(cond, cls, ...)                                                         \
    do {                                                                                      \
        if (__builtin_expect(!(cond), 0))                                                     \
            ::Lumo::fmassertFail((cls), __FILE__, __func__, __LINE__, fmt::format(__VA_ARGS__)); \
    } while (0)

// Unconditional stop: LUMO_FMFAIL("Class", "in no man's land").
#define LUMO_FMFAIL(cls, ...) \
    ::Lumo::fmassertFail((cls), __FILE__, __func__, __LINE__, fmt::format(__VA_ARGS__))
