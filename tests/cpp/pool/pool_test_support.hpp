// Helpers shared by the pool's tests.
#pragma once

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
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
