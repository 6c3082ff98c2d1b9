// Error values of the core: a kind and a message. The message is what the
// caller sees; the kind is for the core's own decisions.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace morvex {

enum class ErrorKind {
    InvalidData,     // malformed input
    UnexpectedEof,   // input ends inside a structure
    NotFound,        // a searched item is absent
    NotImplemented,  // the operation has no core yet
};

struct Error {
    ErrorKind kind;
    std::string message;
};

template <typename T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
    return std::unexpected<Error>(Error{kind, std::move(message)});
}

}  // namespace morvex
