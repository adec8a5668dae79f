// The fixed failure texts that callers see.  They are part of the module's
// interface and must stay byte for byte as they are.
#pragma once

#include <string_view>

namespace rowmerge::messages {

inline constexpr std::string_view kIndexOutOfBounds = "ndarray: index out of bounds";
inline constexpr std::string_view kNoneUnwrap = "called `Option::unwrap()` on a `None` value";
inline constexpr std::string_view kErrUnwrapPrefix = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr std::string_view kIncompatibleShapes =
    "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: incompatible shapes";
inline constexpr std::string_view kPoisoned = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";
inline constexpr std::string_view kIndexBelowDim = "assertion failed: index < dim";

}  // namespace rowmerge::messages
