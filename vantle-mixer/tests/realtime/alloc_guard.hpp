// Heap allocations, releases and mutex locks made inside a real-time scope, counted
// by the interposers of alloc_guard.cpp.
#pragma once

#include <atomic>

namespace vantle::test {

extern std::atomic<long> realtime_violations;

}  // namespace vantle::test
