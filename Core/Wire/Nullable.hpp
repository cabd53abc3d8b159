#pragma once

#include <concepts>
#include <optional>
#include <type_traits>
#include <utility>

namespace korvel {

// A field whose key must always be present: no value reads from and writes
// to an explicit JSON null. Kept apart from std::optional so that the writer
// can tell the two presence rules apart.
template <class T> struct Nullable {
    std::optional<T> wrappedValue;

    Nullable() = default;
    Nullable(std::nullopt_t) {}
    Nullable(std::optional<T> value) : wrappedValue(std::move(value)) {}
    template <class U>
        requires(std::constructible_from<T, U &&> && !std::same_as<std::remove_cvref_t<U>, Nullable> &&
                 !std::same_as<std::remove_cvref_t<U>, std::nullopt_t> &&
                 !std::same_as<std::remove_cvref_t<U>, std::optional<T>>)
    Nullable(U&& value) : wrappedValue(std::in_place, std::forward<U>(value)) {}

    bool hasValue() const { return wrappedValue.has_value(); }
    explicit operator bool() const { return wrappedValue.has_value(); }
    const T& operator*() const { return *wrappedValue; }
    T& operator*() { return *wrappedValue; }
    const T* operator->() const { return &*wrappedValue; }
    T* operator->() { return &*wrappedValue; }

    bool operator==(const Nullable&) const = default;
};

} // namespace korvel
