#pragma once
// The fuzzer's allocation counters: the program replaces the global operator
// new and delete, so every allocation the readers make through the C++ heap
// is counted (live bytes and the peak since the last mark). The readers'
// system calls allocate in the system's heaps, which are not counted.

#include <cstdint>

namespace fuzz {

int64_t LiveBytes() noexcept;
// Starts a new peak at the current live bytes.
void MarkPeak() noexcept;
// The highest live bytes since the last mark, less the live bytes at the mark.
int64_t PeakSinceMark() noexcept;

} // namespace fuzz
