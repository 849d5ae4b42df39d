// A value or an error, with the interface of std::expected (which GCC 12 lacks). Errors of lower
// layers are wrapped into the caller's error type, never thrown across module boundaries.
#pragma once

#include <cassert>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

namespace quorvel {

template <class E>
class Unexpected {
  public:
    explicit Unexpected(E error) : error_(std::move(error)) {}
    const E& error() const& { return error_; }
    E& error() & { return error_; }
    E&& error() && { return std::move(error_); }

  private:
    E error_;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
    return Unexpected<std::decay_t<E>>(std::forward<E>(error));
}

// Thrown only by value() on an error result: a programming fault, never an expected outcome.
class BadResultAccess : public std::logic_error {
  public:
    BadResultAccess() : std::logic_error("value() called on an error result") {}
};

template <class T, class E>
class [[nodiscard]] Result {
  public:
    using value_type = T;
    using error_type = E;

    Result() requires std::is_default_constructible_v<T> : storage_(std::in_place_index<0>) {}
    template <class U = T>
    requires std::is_constructible_v<T, U&&> &&(!std::is_same_v<std::decay_t<U>, Result>)&&(
        !std::is_same_v<std::decay_t<U>, Unexpected<E>>)Result(U&& value)
        : storage_(std::in_place_index<0>, std::forward<U>(value)) {}
    template <class G>
    requires std::is_constructible_v<E, const G&> Result(const Unexpected<G>& e)
        : storage_(std::in_place_index<1>, e.error()) {}
    template <class G>
    requires std::is_constructible_v<E, G&&> Result(Unexpected<G>&& e)
        : storage_(std::in_place_index<1>, std::move(e).error()) {}

    bool has_value() const noexcept { return storage_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return checked(), std::get<0>(storage_); }
    const T& value() const& { return checked(), std::get<0>(storage_); }
    T&& value() && { return checked(), std::move(std::get<0>(storage_)); }

    T& operator*() & { return std::get<0>(storage_); }
    const T& operator*() const& { return std::get<0>(storage_); }
    T&& operator*() && { return std::move(std::get<0>(storage_)); }
    T* operator->() { return &std::get<0>(storage_); }
    const T* operator->() const { return &std::get<0>(storage_); }

    E& error() & { return std::get<1>(storage_); }
    const E& error() const& { return std::get<1>(storage_); }
    E&& error() && { return std::move(std::get<1>(storage_)); }

    template <class U>
    T value_or(U&& fallback) const& {
        return has_value() ? std::get<0>(storage_) : static_cast<T>(std::forward<U>(fallback));
    }

  private:
    void checked() const {
        if (!has_value()) {
            throw BadResultAccess();
        }
    }
    std::variant<T, E> storage_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
  public:
    using value_type = void;
    using error_type = E;

    Result() = default;
    template <class G>
    requires std::is_constructible_v<E, const G&> Result(const Unexpected<G>& e)
        : error_(std::in_place_index<1>, e.error()) {}
    template <class G>
    requires std::is_constructible_v<E, G&&> Result(Unexpected<G>&& e)
        : error_(std::in_place_index<1>, std::move(e).error()) {}

    bool has_value() const noexcept { return error_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }
    void value() const {
        if (!has_value()) {
            throw BadResultAccess();
        }
    }

    E& error() & { return std::get<1>(error_); }
    const E& error() const& { return std::get<1>(error_); }
    E&& error() && { return std::move(std::get<1>(error_)); }

  private:
    std::variant<std::monostate, E> error_;
};

}  // namespace quorvel
