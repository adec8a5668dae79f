// Failures inside the core.
//
// Every failure that ends a merge call is an `Abort`: a C++ exception that
// carries the call's fixed message text.  Exactly one place (src/module/)
// turns it into a Python exception; the core never talks to Python.
//
// An abort also writes a short report to standard error at the moment it is
// raised, from the thread that raised it.  Carrying the exception to another
// thread writes nothing more.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace rowmerge {

class Abort : public std::exception {
 public:
  explicit Abort(std::string message) : message_(std::move(message)), has_text_(true) {}
  // A failure that carries no message text at all (not even an empty one).
  static Abort without_text() { return Abort(); }

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  bool has_text() const noexcept { return has_text_; }

 private:
  Abort() = default;
  std::string message_;
  bool has_text_ = false;
};

// Writes the report for an abort raised at `where` and throws it.
[[noreturn]] void raise_abort(std::string message,
                              std::source_location where = std::source_location::current());

// The report sink.  The default writes
//   thread '<unnamed>' failed at FILE:LINE:COLUMN:\nMESSAGE\n
// to descriptor 2 in one write.  Tests that provoke thousands of aborts may
// replace it (nullptr silences reports); it is process-wide and not meant to
// be changed while other threads raise aborts.
using AbortReportSink = void (*)(std::string_view message, const std::source_location& where);
void set_abort_report_sink(AbortReportSink sink) noexcept;
AbortReportSink default_abort_report_sink() noexcept;

// Formats the default report text (exposed for tests).
std::string format_abort_report(std::string_view message, const std::source_location& where);

}  // namespace rowmerge
