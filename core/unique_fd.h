#pragma once

#include <utility>

namespace tamrin {

// An owned file descriptor, closed when the owner goes away.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes the descriptor held, if any, and takes `fd`.
  void reset(int fd = -1);
  // Closes the descriptor now, for a caller that must know whether buffered writes failed.
  // Returns 0 or the errno of close(); either way nothing is held afterwards.
  [[nodiscard]] int close();

 private:
  int fd_ = -1;
};

}  // namespace tamrin
