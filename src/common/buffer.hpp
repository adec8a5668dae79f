// Storage for large float64 tables.
//
// Tables of a field run to hundreds of megabytes, and most of the time of
// filling a fresh buffer goes to the kernel's page faults.  Large buffers are
// therefore aligned to 2 MiB and their whole 2 MiB pages offered to the
// kernel for transparent huge pages, which cuts the faults by a factor of up
// to 512; the rest stays in small pages, so that a buffer is never resident
// beyond what was written.  Where the kernel does not do huge pages, the
// advice is simply ignored.
#pragma once

#include <cstddef>

namespace rowmerge {

// `count` doubles, uninitialised; never null for count > 0; throws
// std::bad_alloc when the memory cannot be had.  count 0 gives nullptr.
double* allocate_doubles(std::size_t count);

// Frees what allocate_doubles returned (nullptr is fine).
void free_doubles(double* data) noexcept;

}  // namespace rowmerge
