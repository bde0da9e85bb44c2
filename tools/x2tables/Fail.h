#pragma once
// How the commands report a caller's error: one line, exit status 2.
#include <string>
#include <utility>

#include <fmt/format.h>

namespace x2tables {

struct UsageError {
    std::string message;
};

template <class... Args>
[[noreturn]] void fail(fmt::format_string<Args...> f, Args&&... args) {
    throw UsageError{fmt::format(f, std::forward<Args>(args)...)};
}

}  // namespace x2tables
