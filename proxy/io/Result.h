#pragma once

#include <utility>
#include <variant>

#include "platform/Error.h"

namespace pemtrox {

/// A completion value: success with a value, or an error.
template <class T> class Result {
public:
    static Result success(T value) { return Result(std::in_place_index<0>, std::move(value)); }
    static Result failure(ErrorPtr error) { return Result(std::in_place_index<1>, std::move(error)); }

    bool isSuccess() const { return state_.index() == 0; }
    const T& value() const { return std::get<0>(state_); }
    T& value() { return std::get<0>(state_); }
    const ErrorPtr& error() const { return std::get<1>(state_); }

private:
    template <std::size_t I, class V> Result(std::in_place_index_t<I> i, V&& v) : state_(i, std::forward<V>(v)) {}
    std::variant<T, ErrorPtr> state_;
};

} // namespace pemtrox
