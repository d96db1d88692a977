// What a step that can fail gives back: its value, or why it failed. The
// reason is a text (the words a user reads) unless the caller keeps another
// form of it, such as the command tool's system error code:
//
//   common::Result<int> listen(...);           // the socket, or why not
//   common::Result<void> plug(...);            // nothing, or why not
//   common::Result<Transport, std::uint32_t>   // the device, or the system's code
//
// A failure is made with Failure: `return common::Failure{"no device " + name};`.
// Discarding a Result is a compile error, so no failure goes unread.
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace common {

// Why a step failed; converts to the Result of any value.
template <class E>
struct Failure {
  E reason;
};
template <class E>
Failure(E) -> Failure<E>;
Failure(const char*)->Failure<std::string>;

template <class T, class E = std::string>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class F, class = std::enable_if_t<std::is_constructible_v<E, F&&>>>
  Result(Failure<F> failure) : state_(std::in_place_index<1>, std::move(failure.reason)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // Only when ok(); std::bad_variant_access otherwise.
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // Only when !ok(); std::bad_variant_access otherwise.
  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;  // success
  template <class F, class = std::enable_if_t<std::is_constructible_v<E, F&&>>>
  Result(Failure<F> failure) : error_(std::move(failure.reason)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }

  // Only when !ok(); std::bad_optional_access otherwise.
  const E& error() const { return error_.value(); }

 private:
  std::optional<E> error_;
};

}  // namespace common
