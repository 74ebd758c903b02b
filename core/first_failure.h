#pragma once

#include <exception>
#include <utility>

namespace tamrin {

// Runs every step of a clean-up even when one fails, and keeps the first failure to throw
// once all have run.
class FirstFailure {
 public:
  template <typename Step>
  void attempt(Step&& step) {
    try {
      std::forward<Step>(step)();
    } catch (...) {
      if (!first_) first_ = std::current_exception();
    }
  }
  // Throws the first failure, if any step failed.
  void rethrow() const {
    if (first_) std::rethrow_exception(first_);
  }

 private:
  std::exception_ptr first_;
};

}  // namespace tamrin
