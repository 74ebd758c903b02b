#pragma once

#include <mutex>

// Clang's thread-safety analysis (-Wthread-safety, compiled in the clang build): state marked
// GUARDED_BY(m) may only be touched with `m` held, and REQUIRES(m) functions only called so.
#if defined(__clang__)
#define TAMRIN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TAMRIN_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TAMRIN_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TAMRIN_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TAMRIN_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) TAMRIN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) TAMRIN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) TAMRIN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TAMRIN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) TAMRIN_THREAD_ANNOTATION(lock_returned(x))

namespace tamrin {

// A non-recursive mutex that the thread-safety analysis knows about.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for the lifetime of the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace tamrin
