// Failure kinds raised by the core library.
//
// Panic: an internal invariant failed (a condition the Python-side checks
// exclude).  The binding turns it into PanicException.
// IoError: a file could not be read or written, or its content is malformed;
// the binding turns it into OSError with the message as its only argument.
#pragma once

#include <stdexcept>
#include <string>

namespace kwivel {

struct Panic : std::logic_error {
    using std::logic_error::logic_error;
};

struct IoError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void panic(const std::string& msg) { throw Panic(msg); }

}  // namespace kwivel

// Restates a precondition inside the core; failure is a Panic.
#define KW_ASSERT(cond, msg)                   \
    do {                                       \
        if (!(cond)) ::kwivel::panic(msg);     \
    } while (0)
