// Error values of the core: a kind and a message. The message is what the
// caller sees; the kind is for the core's own decisions.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace morvex {

enum class ErrorKind {
    InvalidData,    // malformed input
    UnexpectedEof,  // input ends inside a structure
    NotFound,       // a searched item is absent
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
inline std::unexpected<Error> invalid(std::string message) { return fail(ErrorKind::InvalidData, std::move(message)); }

}  // namespace morvex

// Propagation: MORVEX_TRY(expr) is the value of a Result, or returns its
// error from the enclosing function; MORVEX_CHECK does the same for a
// Result<void>. (Statement expressions, which GCC and Clang both have.)
#define MORVEX_TRY(expr)                                                      \
    ({                                                                        \
        auto&& morvex_try_result_ = (expr);                                   \
        if (!morvex_try_result_)                                              \
            return std::unexpected<::morvex::Error>(std::move(morvex_try_result_.error())); \
        std::move(*morvex_try_result_);                                       \
    })
#define MORVEX_CHECK(expr)                                                    \
    do {                                                                      \
        auto&& morvex_check_result_ = (expr);                                 \
        if (!morvex_check_result_)                                            \
            return std::unexpected<::morvex::Error>(std::move(morvex_check_result_.error())); \
    } while (0)
