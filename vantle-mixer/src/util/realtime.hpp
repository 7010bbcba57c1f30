// Marks code that runs on JACK's real-time thread. The scope costs one thread-local
// increment; a test build counts heap allocations and lock calls made inside it.
#pragma once

namespace vantle::rt {

inline thread_local int scope_depth = 0;

class Scope {
 public:
  Scope() noexcept { ++scope_depth; }
  ~Scope() { --scope_depth; }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
};

inline bool in_scope() noexcept { return scope_depth > 0; }

}  // namespace vantle::rt
