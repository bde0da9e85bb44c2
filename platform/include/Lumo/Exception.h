#pragma once
// Exceptions of the base runtime. Every failure a caller can meet is one of
// these, carrying a message formatted from a "{}" format string. Bugs of our
// own are not exceptions: they stop the process through Lumo::fmassert.
#include <exception>
#include <string>
#include <utility>

#include <fmt/format.h>

namespace Lumo {

class Exception : public std::exception {
public:
    explicit Exception(std::string msg) : msg_(std::move(msg)) {}
    std::string const& msg() const noexcept { return msg_; }
    char const* what() const noexcept override { return msg_.c_str(); }
    // Name of the exception class, for reports ("Lumo::RangeException").
    virtual char const* typeName() const noexcept { return "Lumo::Exception"; }

protected:
    std::string msg_;
};

#define LUMO_DECLARE_EXCEPTION(Ns, Name, Base)                                      \
    class Name : public Base {                                                      \
    public:                                                                         \
        using Base::Base;                                                           \
        char const* typeName() const noexcept override { return #Ns "::" #Name; }   \
    };

// A value outside the range its type or container allows.
LUMO_DECLARE_EXCEPTION(Lumo, RangeException, Exception)
// An object could not be initialised from what it was given.
LUMO_DECLARE_EXCEPTION(Lumo, InvalidInitializeException, Exception)
// Data read from shared or persistent storage is inconsistent.
LUMO_DECLARE_EXCEPTION(Lumo, CorruptionDetectedException, Exception)
// A memory or file resource could not be obtained.
LUMO_DECLARE_EXCEPTION(Lumo, MemoryResourceException, Exception)
// Malformed text handed to a parser.
LUMO_DECLARE_EXCEPTION(Lumo, ParseException, Exception)
// An operation the object does not support in its current state.
LUMO_DECLARE_EXCEPTION(Lumo, IllegalOperationException, Exception)

// Throws E with a message built from a format string and arguments.
template <class E, class... Args>
[[noreturn]] void raise(fmt::format_string<Args...> f, Args&&... args) {
    throw E(fmt::format(f, std::forward<Args>(args)...));
}

namespace Impl {
// Index `index` into a vector of `size` elements.
[[noreturn]] void throwVectorOutOfRangeException(std::size_t index, std::size_t size);
}  // namespace Impl

}  // namespace Lumo
