// Hand-driven stand-ins for the bar's clock and terminal.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "progress/terminal.hpp"
#include "progress/time.hpp"

namespace rowmerge::progress::testing {

// A clock that stands still until told to move.
class FakeClock final : public Clock {
 public:
  Instant now() const noexcept override { return now_; }
  void advance(std::chrono::nanoseconds d) { now_ += d; }
  void set(Instant t) { now_ = t; }
  Instant origin() const { return Instant{} + std::chrono::hours(1); }

 private:
  Instant now_ = Instant{} + std::chrono::hours(1);
};

// A terminal whose frames land in an anonymous file, with a chosen size,
// environment and colour switch.
class FakeTerminal final : public Terminal {
 public:
  FakeTerminal() : file_(std::tmpfile()) {
    if (file_ == nullptr) throw std::runtime_error("tmpfile failed");
    env_["TERM"] = "xterm-256color";
  }
  ~FakeTerminal() override { std::fclose(file_); }
  FakeTerminal(const FakeTerminal&) = delete;
  FakeTerminal& operator=(const FakeTerminal&) = delete;

  int descriptor() const override { return fail_writes ? -1 : ::fileno(file_); }
  bool is_terminal(int fd) const override {
    if (fd == 1) return stdout_tty;
    return fd == descriptor() && stderr_tty;
  }
  std::optional<TermSize> size() const override {
    if (size_fails) throw std::bad_alloc();
    return term_size;
  }
  std::optional<std::string> env(const char* name) const override {
    const auto it = env_.find(name);
    if (it == env_.end()) return std::nullopt;
    return it->second;
  }
  bool colors() const override { return color; }

  void set_env(const std::string& name, std::optional<std::string> value) {
    if (value) {
      env_[name] = *value;
    } else {
      env_.erase(name);
    }
  }

  // Every byte written so far.
  std::string captured() const {
    std::string out;
    char buf[4096];
    off_t at = 0;
    for (;;) {
      const ssize_t n = ::pread(::fileno(file_), buf, sizeof buf, at);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
      at += n;
    }
    return out;
  }

  bool stderr_tty = true;
  bool stdout_tty = false;
  bool color = false;
  bool fail_writes = false;
  bool size_fails = false;  // the size request runs out of memory
  std::optional<TermSize> term_size;

 private:
  std::FILE* file_;
  std::map<std::string, std::string> env_;
};

}  // namespace rowmerge::progress::testing
