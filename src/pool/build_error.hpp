// Errors of setting up a pool, written the way failure messages show them:
//   ThreadPoolBuildError { kind: IOError(Os { code: 11, kind: WouldBlock,
//                          message: "Resource temporarily unavailable" }) }
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace rowmerge::pool {

// An operating-system error (errno) or one of the fixed simple errors.
class IoError {
 public:
  static IoError os(int code) noexcept { return IoError(code, {}); }
  static IoError invalid_stack_size() noexcept { return IoError(0, "invalid stack size"); }

  // "Os { code: N, kind: K, message: "T" }" or
  // "Error { kind: InvalidInput, message: "invalid stack size" }".
  std::string render() const;

 private:
  IoError(int code, std::string_view simple) noexcept : code_(code), simple_(simple) {}
  int code_;
  std::string_view simple_;
};

// The name of the error kind an errno value falls under ("WouldBlock" for
// EAGAIN, "Uncategorized" for numbers without a kind of their own).
std::string_view error_kind_name(int code) noexcept;

// A pool could not start its workers: the only way setting one up fails.
class ThreadPoolBuildError : public std::exception {
 public:
  explicit ThreadPoolBuildError(const IoError& io);

  // "ThreadPoolBuildError { kind: IOError(...) }"
  const std::string& rendered() const noexcept { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

}  // namespace rowmerge::pool
