// Starting a worker thread: a POSIX thread with no name and our own stack
// size, never the C library's default.  Its pool joins it when it retires.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <optional>

#include "pool/build_error.hpp"

namespace rowmerge::pool {

using ThreadEntry = void* (*)(void*);

// Starts `entry(arg)` on a new joinable thread with the worker stack size
// and stores its handle in `thread`.  Returns the error when the thread
// could not be created.
std::optional<IoError> spawn_thread(ThreadEntry entry, void* arg, pthread_t& thread);

// The worker stack size in bytes: "RUST_MIN_STACK" when it holds a decimal
// number, else 2 MiB.  Read once per process, at the first call.
std::size_t worker_stack_size();

// Applies `requested` through `set_size` (which returns 0 or an errno value):
// first raised to the platform's smallest stack, then, if refused, rounded up
// to a multiple of `page_size` and tried once more.
template <class SetSize>
std::optional<IoError> apply_stack_size(std::size_t requested, std::size_t minimum, std::size_t page_size,
                                        SetSize set_size) {
  std::size_t size = requested < minimum ? minimum : requested;
  if (set_size(size) == 0) return std::nullopt;
  const std::size_t remainder = size % page_size;
  if (remainder != 0) {
    if (size > static_cast<std::size_t>(-1) - (page_size - remainder)) return IoError::invalid_stack_size();
    size += page_size - remainder;
  }
  if (set_size(size) == 0) return std::nullopt;
  return IoError::invalid_stack_size();
}

}  // namespace rowmerge::pool
