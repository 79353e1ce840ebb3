// Internal errors: broken preconditions inside the core.
//
// Failures that depend on caller input are returned as values (CoreError,
// PersistError). A broken internal invariant instead ends the operation at once:
// internal_error() writes a one-line diagnostic to standard error and throws
// InternalError, which the Python boundary turns into PanicException.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace orlo_kiv {

class InternalError : public std::exception {
 public:
  explicit InternalError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Reports `message` with the caller's source location on stderr, then throws
// InternalError(message). Never returns.
[[noreturn]] void internal_error(std::string message,
                                 std::source_location where = std::source_location::current());

// The message of an out-of-bounds index, e.g. "index out of bounds: the len is 2 but the index is
// 5".
std::string index_out_of_bounds_message(std::size_t len, std::size_t index);

}  // namespace orlo_kiv
