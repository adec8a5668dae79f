#include "field_decoder.hpp"

#include <array>
#include <iterator>
#include <cstring>
#include <limits>

namespace rowmerge::fuzz {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

constexpr std::array<double, 24> kPalette = {
    0.0, 1.0, 2.0, 3.0, 1.0, 2.0, 1.5, 3.7,  // keys, mostly small integers
    kNaN, kNaN, 0.5, -1.0, -0.0, kInf, -kInf, 4294967295.0,
    4294967296.0, 1e12, 10.0, 20.0, 0.1, -5.0, 1e-300, 1e300,
};

constexpr std::array<double, 8> kTolerances = {0.0, 0.1, 0.5, 2.0, -1.0, kNaN, kInf, 1e-12};

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

  std::uint8_t byte() noexcept { return at_ < size_ ? data_[at_++] : 0; }

  double value() noexcept {
    const std::uint8_t b = byte();
    if (b < 0xE0) return kPalette[b % kPalette.size()];
    std::array<std::uint8_t, 8> raw{};
    for (auto& r : raw) r = byte();
    double v;
    std::memcpy(&v, raw.data(), sizeof v);
    return v;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Shapes are biased toward the well-formed ones (11 columns of connected
// crop rows and records, 4 or more of points) so that most inputs get past
// the lookups, without ruling out any of the ill-formed ones.
std::size_t table_columns(std::uint8_t b, std::size_t usual) {
  return (b & 0x80) != 0 ? usual : static_cast<std::size_t>(b % 14);
}

test::LaidOut read_table(ByteReader& in, std::size_t rows, std::size_t cols, unsigned layout) {
  Matrix m = Matrix::uninitialized(rows, cols);
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < cols; ++c) m(r, c) = in.value();
  return test::LaidOut(m, test::kLayouts[layout % std::size(test::kLayouts)]);
}

}  // namespace

FuzzField decode_field(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const std::size_t conn_rows = in.byte() % 8;
  const std::size_t conn_cols = table_columns(in.byte(), 11);
  const std::size_t point_rows = in.byte() % 32;
  const std::uint8_t point_shape = in.byte();
  const std::size_t point_cols = table_columns(point_shape, 4 + point_shape % 3);
  const std::size_t info_rows = in.byte() % 8;
  const std::size_t info_cols = table_columns(in.byte(), 11);
  const std::uint8_t layout_low = in.byte();
  const unsigned layout = layout_low | static_cast<unsigned>(in.byte()) << 8;
  const std::uint8_t settings = in.byte();

  FuzzField f;
  f.tolerance = kTolerances[settings % kTolerances.size()];
  f.num_threads = 1 + (settings >> 4) % 4;
  f.connected_crop_rows = read_table(in, conn_rows, conn_cols, layout & 0xf);
  f.points_in_rows = read_table(in, point_rows, point_cols, (layout >> 4) & 0xf);
  f.row_information = read_table(in, info_rows, info_cols, (layout >> 8) & 0xf);
  return f;
}

}  // namespace rowmerge::fuzz
