// A plain C face for the literal merge step, so the comparative benchmark can
// load it with ctypes.  Connected crop rows [first, first + count) are merged
// on `threads` threads, each taking the next id from a shared counter; the
// surviving point-row indices come back concatenated in ascending id order.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "literal_merge.hpp"

namespace {

rowmerge::Matrix copy_in(const double* data, std::size_t rows, std::size_t cols) {
  rowmerge::Matrix m = rowmerge::Matrix::uninitialized(rows, cols);
  if (rows * cols != 0) std::memcpy(m.data(), data, rows * cols * sizeof(double));
  return m;
}

void set_error(char* err, std::size_t err_len, const std::string& text) {
  if (err == nullptr || err_len == 0) return;
  const std::size_t n = text.size() < err_len - 1 ? text.size() : err_len - 1;
  std::memcpy(err, text.data(), n);
  err[n] = '\0';
}

}  // namespace

extern "C" {

// Returns 0 and sets *out_rows (free with literal_free) and *out_len, or
// returns -1 with the failure text in `err`.
int literal_merge(const double* ccr, std::size_t ccr_rows, std::size_t ccr_cols, const double* pir,
                  std::size_t pir_rows, std::size_t pir_cols, const double* info, std::size_t info_rows,
                  std::size_t info_cols, double tolerance, std::size_t first, std::size_t count,
                  unsigned threads, std::uint32_t** out_rows, std::size_t* out_len, char* err,
                  std::size_t err_len) {
  try {
    const rowmerge::Matrix c = copy_in(ccr, ccr_rows, ccr_cols);
    const rowmerge::Matrix p = copy_in(pir, pir_rows, pir_cols);
    const rowmerge::Matrix r = copy_in(info, info_rows, info_cols);
    std::vector<rowmerge::literal::LiteralOutcome> outcomes(count);
    std::atomic<std::size_t> next{0};
    auto work = [&] {
      for (std::size_t i = next.fetch_add(1, std::memory_order_relaxed); i < count;
           i = next.fetch_add(1, std::memory_order_relaxed)) {
        outcomes[i] = rowmerge::literal::literal_merge_step(c, p, r, tolerance, first + i);
      }
    };
    {
      std::vector<std::jthread> pool;
      for (unsigned t = 1; t < (threads == 0 ? 1 : threads); ++t) pool.emplace_back(work);
      work();
    }
    std::size_t total = 0;
    for (const auto& o : outcomes) {
      if (o.failed()) {
        set_error(err, err_len, o.failure);
        return -1;
      }
      total += o.survivors.size();
    }
    auto* rows = static_cast<std::uint32_t*>(std::malloc((total == 0 ? 1 : total) * sizeof(std::uint32_t)));
    if (rows == nullptr) throw std::bad_alloc();
    std::size_t at = 0;
    for (const auto& o : outcomes) {
      if (!o.survivors.empty()) std::memcpy(rows + at, o.survivors.data(), o.survivors.size() * sizeof(std::uint32_t));
      at += o.survivors.size();
    }
    *out_rows = rows;
    *out_len = total;
    return 0;
  } catch (const std::bad_alloc&) {
    set_error(err, err_len, "out of memory");
    return -1;
  }
}

void literal_free(std::uint32_t* rows) { std::free(rows); }

}  // extern "C"
