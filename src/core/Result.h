#pragma once
// "It worked, or here is why not", in one shape for the whole program: a Result holds either
// what a step produced (nothing, for Result<void, E>) or the error E that says why it failed.
// It follows std::expected of C++23 and is spelt as that is, so that it reads like
// std::optional beside it, which stands for "maybe a value":
//
//     Result<Layout, QString> parsed = ParseLayout(bytes);
//     if (!parsed)
//         return Fail(parsed.error());
//     Use(*parsed);
//
// A step returns its value (Ok() when it has none) on success and Fail(error) on failure.
// Asking a Result for the side it does not hold is a fault of the program, not of its input:
// it stops the program rather than read what is not there.
#include <cstdlib>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace kestrel {

// The error side of a Result, as a return statement writes it: return Fail(why);
template <class E> class Fail {
public:
    explicit Fail(E error) : m_error(std::move(error)) {}
    const E& error() const& { return m_error; }
    E&& error() && { return std::move(m_error); }

private:
    E m_error;
};

// The success of a step without a value: return Ok();
struct Ok {};

namespace result_detail {
inline void Require(bool holds) {
    if (!holds)
        std::abort();
}
} // namespace result_detail

template <class T, class E> class Result {
    static_assert(!std::is_reference_v<T> && !std::is_reference_v<E>, "a Result holds its value and its error");

public:
    Result() requires std::is_default_constructible_v<T> : m_state(std::in_place_index<0>) {}
    Result(const T& value) : m_state(std::in_place_index<0>, value) {}
    Result(T&& value) : m_state(std::in_place_index<0>, std::move(value)) {}
    template <class G>
    requires std::is_constructible_v<E, G&&> Result(Fail<G> failure)
        : m_state(std::in_place_index<1>, std::move(failure).error()) {}

    explicit operator bool() const { return m_state.index() == 0; }

    T& value() & { return *Side<0>(); }
    const T& value() const& { return *Side<0>(); }
    T&& value() && { return std::move(*Side<0>()); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*Side<0>()); }
    T* operator->() { return Side<0>(); }
    const T* operator->() const { return Side<0>(); }

    E& error() & { return *Side<1>(); }
    const E& error() const& { return *Side<1>(); }
    E&& error() && { return std::move(*Side<1>()); }

private:
    template <std::size_t I> auto* Side() {
        result_detail::Require(m_state.index() == I);
        return std::get_if<I>(&m_state);
    }
    template <std::size_t I> const auto* Side() const {
        result_detail::Require(m_state.index() == I);
        return std::get_if<I>(&m_state);
    }

    std::variant<T, E> m_state;
};

// A step that produces nothing: success, or the error. A default Result<void, E> is success.
template <class E> class Result<void, E> {
    static_assert(!std::is_reference_v<E>, "a Result holds its error");

public:
    Result() = default;
    Result(Ok) {}
    template <class G>
    requires std::is_constructible_v<E, G&&> Result(Fail<G> failure)
        : m_error(std::in_place, std::move(failure).error()) {}

    explicit operator bool() const { return !m_error.has_value(); }

    E& error() & { return *Failed(); }
    const E& error() const& { return *Failed(); }
    E&& error() && { return std::move(*Failed()); }

private:
    std::optional<E>& Failed() {
        result_detail::Require(m_error.has_value());
        return m_error;
    }
    const std::optional<E>& Failed() const {
        result_detail::Require(m_error.has_value());
        return m_error;
    }

    std::optional<E> m_error;
};

} // namespace kestrel
