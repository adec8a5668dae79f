// Helpers shared by the pool's tests.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "pool/pool.hpp"

namespace rowmerge::pool::testing {

// A failure carrying the id whose work raised it.
struct IdFailure {
  std::uint64_t id;
};

// Threads of this process, from /proc/self/task.
inline int live_thread_count() {
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  int n = 0;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n;
}

// The thread count before a test starts its own threads.  Starting one
// thread first lets helpers that appear with the first thread (a sanitizer's
// background thread) show up before the count is taken.  A joined thread can
// stay listed for a moment (long enough to matter under an emulator), so the
// count is taken once that thread is gone from /proc/self/task.
inline int baseline_thread_count() {
  long tid = 0;
  std::thread([&tid] { tid = ::syscall(SYS_gettid); }).join();
  const std::string entry = "/proc/self/task/" + std::to_string(tid);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::access(entry.c_str(), F_OK) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return live_thread_count();
}

// Runs a for-each over `n` ids on `registry` whose `failing` ids throw an
// IdFailure, counting in `ran[id]` how often each id ran; returns the id whose
// failure came back, or n when none did.
template <class Counters>
std::uint64_t run_with_failures(Registry& registry, std::uint64_t n, const std::set<std::uint64_t>& failing,
                                Counters& ran) {
  try {
    for_each_id(registry, n, [&](std::uint64_t id) {
      ran[id].fetch_add(1, std::memory_order_relaxed);
      if (failing.count(id) != 0) throw IdFailure{id};
    });
  } catch (const IdFailure& f) {
    return f.id;
  }
  return n;
}

// Sums ids 0 .. n-1 on `registry`; with n >= 2 the work is handed in from
// outside, so every worker may take part.
inline bool sums_correctly(Registry& registry, std::uint64_t n) {
  std::atomic<std::uint64_t> sum{0};
  for_each_id(registry, n, [&](std::uint64_t id) { sum.fetch_add(id, std::memory_order_relaxed); });
  return sum.load() == n * (n - 1) / 2;
}

// Threads started through counting_spawn, and the worker index at which it
// fails instead, like a system out of thread resources (-1: never).
inline std::atomic<int> SPAWNED{0};
inline std::atomic<int> FAIL_AT{-1};

inline std::optional<IoError> counting_spawn(std::size_t index, ThreadEntry entry, void* arg, pthread_t& thread) {
  if (static_cast<int>(index) == FAIL_AT.load(std::memory_order_relaxed)) return IoError::os(EAGAIN);
  SPAWNED.fetch_add(1, std::memory_order_relaxed);
  return default_spawn(index, entry, arg, thread);
}

// Runs `body` in a child made by fork and returns its exit status: 0 when
// `body` returned true, 1 when false, -1 when the child was still running
// after `limit` (it is killed then: a child that hangs fails the test
// instead of hanging it).
template <class Body>
int status_of_child(Body body, std::chrono::seconds limit = std::chrono::seconds(60)) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body() ? 0 : 1);
  if (child < 0) return -2;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 && errno != EINTR) return -2;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Polls `done` until it holds or `limit` passes.
template <class Pred>
bool eventually(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace rowmerge::pool::testing
