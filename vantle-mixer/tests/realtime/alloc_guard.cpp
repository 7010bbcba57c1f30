// Test-only interposition of the heap and mutex entry points: every call made while
// the calling thread is inside a real-time scope is counted. Linked only into the
// real-time test binary (never with a sanitizer, which interposes these itself).
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

#include "realtime/alloc_guard.hpp"
#include "util/realtime.hpp"

extern "C" {
void* __libc_malloc(std::size_t size);
void __libc_free(void* ptr);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* ptr, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace vantle::test {

std::atomic<long> realtime_violations{0};

}  // namespace vantle::test

namespace {

inline void note() {
  if (vantle::rt::in_scope()) vantle::test::realtime_violations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) {
  note();
  return __libc_malloc(size);
}

void free(void* ptr) {
  if (ptr != nullptr) note();
  __libc_free(ptr);
}

void* calloc(std::size_t count, std::size_t size) {
  note();
  return __libc_calloc(count, size);
}

void* realloc(void* ptr, std::size_t size) {
  note();
  return __libc_realloc(ptr, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  note();
  return __libc_memalign(alignment, size);
}

void* memalign(std::size_t alignment, std::size_t size) {
  note();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  note();
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

int pthread_mutex_lock(pthread_mutex_t* mutex) {
  using Lock = int (*)(pthread_mutex_t*);
  static Lock real = reinterpret_cast<Lock>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
  note();
  return real(mutex);
}

}  // extern "C"
