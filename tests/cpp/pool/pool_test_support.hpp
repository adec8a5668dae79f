// Helpers shared by the pool's tests.
#pragma once

#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <thread>

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
// background thread) show up before the count is taken.
inline int baseline_thread_count() {
  std::thread([] {}).join();
  return live_thread_count();
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
