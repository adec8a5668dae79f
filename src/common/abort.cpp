#include "common/abort.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace rowmerge {
namespace {

void write_report_to_stderr(std::string_view message, const std::source_location& where) {
  const std::string text = format_abort_report(message, where);
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(2, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a report that cannot be written is dropped
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::atomic<AbortReportSink> ABORT_REPORT_SINK{&write_report_to_stderr};

}  // namespace

std::string format_abort_report(std::string_view message, const std::source_location& where) {
  // Neither the worker threads nor the interpreter's threads carry a name.
  std::string text = "thread '<unnamed>' failed at ";
  text += where.file_name();
  text += ':';
  text += std::to_string(where.line());
  text += ':';
  text += std::to_string(where.column());
  text += ":\n";
  text += message;
  text += '\n';
  return text;
}

void set_abort_report_sink(AbortReportSink sink) noexcept {
  ABORT_REPORT_SINK.store(sink, std::memory_order_release);
}

AbortReportSink default_abort_report_sink() noexcept { return &write_report_to_stderr; }

void raise_abort(std::string message, std::source_location where) {
  if (AbortReportSink sink = ABORT_REPORT_SINK.load(std::memory_order_acquire)) sink(message, where);
  throw Abort(std::move(message));
}

}  // namespace rowmerge
