// Error values of the core: a kind and a message. The message is what the
// caller sees; the kind is for the core's own decisions.
#pragma once

#include <algorithm>
#include <cstddef>
#include <expected>
#include <string>
#include <type_traits>
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

#if defined(_LIBCPP_VERSION) && _LIBCPP_VERSION < 180000
// libc++ before 18 may lay the has-value flag of std::expected in the tail
// padding of the value (std::optional<Box> has seven bytes of it), and
// writing the value then overwrites the flag: a value reads back as an
// error. The error of such a Result is made longer than the value, so that
// the flag comes after both.
template <size_t N>
struct PaddedError : Error {
    std::byte tail[N] = {};
    PaddedError(Error e) : Error(std::move(e)) {}
};
template <typename T>
constexpr bool expected_flag_overlaps() {
    if constexpr (std::is_void_v<T>) return false;
    else return sizeof(std::expected<T, Error>) <= std::max(sizeof(T), sizeof(Error));
}
template <typename T, bool Overlaps = expected_flag_overlaps<T>()>
struct ResultFor {
    using type = std::expected<T, Error>;
};
template <typename T>
struct ResultFor<T, true> {
    using type = std::expected<T, PaddedError<(sizeof(T) + 7) / 8 * 8>>;
    static_assert(sizeof(type) > sizeof(T), "the flag of std::expected still shares the value's bytes");
};
template <typename T>
using Result = typename ResultFor<T>::type;
#else
template <typename T>
using Result = std::expected<T, Error>;
#endif

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
