// The per-object borrow guard of the handle classes: any number of shared borrows, or one
// exclusive borrow. Calls on one handle never overlap while the interpreter lock is held; the
// guard catches re-entry from Python code that runs during a call (an item's __float__ that calls
// back into the same handle).
#pragma once

#include <atomic>
#include <cstdint>

#include "errors.hpp"

namespace kestrune::python {

class BorrowFlag {
 public:
  class Shared {
   public:
    explicit Shared(BorrowFlag& flag) : flag_(&flag) {}
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    ~Shared() { flag_->state_.fetch_sub(1); }

   private:
    BorrowFlag* flag_;
  };

  class Exclusive {
   public:
    explicit Exclusive(BorrowFlag& flag) : flag_(&flag) {}
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    ~Exclusive() { flag_->state_.store(0); }

   private:
    BorrowFlag* flag_;
  };

  // Throws RuntimeError "Already mutably borrowed" while an exclusive borrow is in force.
  [[nodiscard]] Shared borrow_shared() {
    std::intptr_t current = state_.load();
    do {
      if (current == kExclusive) throw PythonError::runtime_error("Already mutably borrowed");
    } while (!state_.compare_exchange_weak(current, current + 1));
    return Shared(*this);
  }

  // Throws RuntimeError "Already borrowed" while any borrow is in force.
  [[nodiscard]] Exclusive borrow_exclusive() {
    std::intptr_t expected = 0;
    if (!state_.compare_exchange_strong(expected, kExclusive)) throw PythonError::runtime_error("Already borrowed");
    return Exclusive(*this);
  }

 private:
  static constexpr std::intptr_t kExclusive = -1;
  std::atomic<std::intptr_t> state_{0};
};

}  // namespace kestrune::python
