// An optional value kept on the heap: one pointer wide whether empty or not. For fields that are
// absent on most records (a split's category set, a joint split's K-vectors, a linear leaf), so
// that the records themselves stay small; a present value costs one extra allocation.
//
// It behaves like std::optional<T> as far as the code needs: copies are deep, a move hands the
// value over and leaves the source empty, and == compares contents (two empty boxes are equal).
#pragma once

#include <memory>
#include <optional>
#include <utility>

namespace kestrune::support {

template <typename T>
class Boxed {
 public:
  Boxed() noexcept = default;
  // Implicit, as std::optional's: a T can be assigned or passed wherever a Boxed<T> is expected.
  Boxed(T value) : value_(std::make_unique<T>(std::move(value))) {}

  Boxed(const Boxed& other) : value_(other.value_ ? std::make_unique<T>(*other.value_) : nullptr) {}
  Boxed(Boxed&&) noexcept = default;

  Boxed& operator=(const Boxed& other) {
    if (!other.value_) {
      value_.reset();
    } else if (value_) {
      *value_ = *other.value_;  // reuses what the held value already owns
    } else {
      value_ = std::make_unique<T>(*other.value_);
    }
    return *this;
  }
  Boxed& operator=(Boxed&&) noexcept = default;

  Boxed& operator=(std::nullopt_t) noexcept {
    value_.reset();
    return *this;
  }
  Boxed& operator=(T value) {
    if (value_) {
      *value_ = std::move(value);
    } else {
      value_ = std::make_unique<T>(std::move(value));
    }
    return *this;
  }

  bool has_value() const noexcept { return value_ != nullptr; }
  explicit operator bool() const noexcept { return has_value(); }

  // Like std::optional, these require a value.
  T& operator*() noexcept { return *value_; }
  const T& operator*() const noexcept { return *value_; }
  T* operator->() noexcept { return value_.get(); }
  const T* operator->() const noexcept { return value_.get(); }

  void reset() noexcept { value_.reset(); }

  friend bool operator==(const Boxed& a, const Boxed& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a.has_value() || *a.value_ == *b.value_;
  }

 private:
  std::unique_ptr<T> value_;
};

}  // namespace kestrune::support
