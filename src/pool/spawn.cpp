#include "pool/spawn.hpp"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "pool/decimal.hpp"
#include "pool/thread_count.hpp"

namespace rowmerge::pool {
namespace {

constexpr std::size_t kDefaultStackSize = 2 * 1024 * 1024;
// The smallest stack we ask for: 2048 bytes, or the platform's own minimum
// when that is larger (it may only be known at run time).
std::size_t smallest_stack() {
  const long platform_minimum = static_cast<long>(PTHREAD_STACK_MIN);
  return platform_minimum > 2048 ? static_cast<std::size_t>(platform_minimum) : 2048;
}

class ThreadAttributes {
 public:
  ThreadAttributes() : rc_(pthread_attr_init(&attr_)) {}
  ~ThreadAttributes() {
    if (rc_ == 0) pthread_attr_destroy(&attr_);
  }
  ThreadAttributes(const ThreadAttributes&) = delete;
  ThreadAttributes& operator=(const ThreadAttributes&) = delete;

  int init_result() const noexcept { return rc_; }
  pthread_attr_t* get() noexcept { return &attr_; }

 private:
  pthread_attr_t attr_;
  int rc_;
};

}  // namespace

std::size_t worker_stack_size() {
  // Kept in atomics, not a function-local static, whose guard a child made
  // by fork could inherit held by a thread it does not have.  Threads that
  // read the variable at the same time read the same value.
  static std::atomic<std::size_t> WORKER_STACK_SIZE{0};
  static std::atomic<bool> WORKER_STACK_SIZE_KNOWN{false};
  if (WORKER_STACK_SIZE_KNOWN.load(std::memory_order_acquire)) return WORKER_STACK_SIZE.load(std::memory_order_relaxed);
  const auto text = ThreadCountSources::process_env("RUST_MIN_STACK");
  const auto value = text ? parse_decimal(*text) : std::nullopt;
  const std::size_t found = value ? static_cast<std::size_t>(*value) : kDefaultStackSize;
  WORKER_STACK_SIZE.store(found, std::memory_order_relaxed);
  WORKER_STACK_SIZE_KNOWN.store(true, std::memory_order_release);
  return found;
}

std::optional<IoError> spawn_thread(ThreadEntry entry, void* arg, pthread_t& thread) {
  ThreadAttributes attr;
  if (attr.init_result() != 0) return IoError::os(attr.init_result());
  const long page = sysconf(_SC_PAGESIZE);
  const std::size_t page_size = page > 0 ? static_cast<std::size_t>(page) : 4096;
  if (auto error = apply_stack_size(worker_stack_size(), smallest_stack(), page_size,
                                    [&](std::size_t size) { return pthread_attr_setstacksize(attr.get(), size); })) {
    return error;
  }
  if (const int rc = pthread_create(&thread, attr.get(), entry, arg); rc != 0) return IoError::os(rc);
  return std::nullopt;
}

}  // namespace rowmerge::pool
