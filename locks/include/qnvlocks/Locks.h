// Thread-safety annotations and the annotated locks they need, shared by the
// library, the player and the tools (header-only, target qnvlocks).
//
// Under clang the macros expand to its thread-safety attributes, so a build
// with -Wthread-safety (QNV_THREAD_SAFETY=ON) checks that every field named
// GUARDED_BY is touched only with its lock held and that functions marked
// REQUIRES are called with it. Under other compilers they expand to nothing.
// The standard mutexes are not capabilities with every standard library,
// hence the thin wrappers below; each call is inlined to the std one.
#ifndef QNVLOCKS_LOCKS_H
#define QNVLOCKS_LOCKS_H

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define QNV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QNV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QNV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QNV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QNV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QNV_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) QNV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) QNV_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) QNV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) QNV_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) QNV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) QNV_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QNV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) QNV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) QNV_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QNV_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace qnv::locks {

// A standard mutex the analysis knows as a lock. Also a Lockable, so
// std::condition_variable_any and std::unique_lock work with it. The
// analysis does not model re-entry: a function that takes a CRecursiveMutex
// again while holding it is marked NO_THREAD_SAFETY_ANALYSIS with the reason.
template <typename StdMutex>
class CAPABILITY("mutex") CBasicMutex {
 public:
  void Lock() ACQUIRE() { m_mutex.lock(); }
  void Unlock() RELEASE() { m_mutex.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }
  void lock() ACQUIRE() { m_mutex.lock(); }
  void unlock() RELEASE() { m_mutex.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }
  // For std::condition_variable, which waits on std::mutex only.
  StdMutex& Native() { return m_mutex; }

 private:
  StdMutex m_mutex;
};
using CMutex = CBasicMutex<std::mutex>;
using CRecursiveMutex = CBasicMutex<std::recursive_mutex>;

// A reader/writer lock the analysis knows: many holders share it, or one
// holds it alone.
class CAPABILITY("mutex") CSharedMutex {
 public:
  void Lock() ACQUIRE() { m_mutex.lock(); }
  void Unlock() RELEASE() { m_mutex.unlock(); }
  void LockShared() ACQUIRE_SHARED() { m_mutex.lock_shared(); }
  void UnlockShared() RELEASE_SHARED() { m_mutex.unlock_shared(); }

 private:
  std::shared_mutex m_mutex;
};

// Holds a lock for its scope (std::lock_guard, known to the analysis).
template <typename Mutex>
class SCOPED_CAPABILITY CLockGuard {
 public:
  explicit CLockGuard(Mutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.Lock(); }
  // Takes over a lock the caller already holds.
  CLockGuard(Mutex& mutex, std::adopt_lock_t) REQUIRES(mutex) : m_mutex(mutex) {}
  ~CLockGuard() RELEASE() { m_mutex.Unlock(); }
  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;

 private:
  Mutex& m_mutex;
};

// Holds a CSharedMutex shared for its scope (std::shared_lock).
class SCOPED_CAPABILITY CSharedLock {
 public:
  explicit CSharedLock(CSharedMutex& mutex) ACQUIRE_SHARED(mutex) : m_mutex(mutex) {
    m_mutex.LockShared();
  }
  // Clang releases a scoped capability with RELEASE whatever its kind.
  ~CSharedLock() RELEASE() { m_mutex.UnlockShared(); }
  CSharedLock(const CSharedLock&) = delete;
  CSharedLock& operator=(const CSharedLock&) = delete;

 private:
  CSharedMutex& m_mutex;
};

// A CMutex held for a scope that may let go and take it again, and that a
// std::condition_variable can wait on (std::unique_lock, known to the
// analysis). Waiting gives the lock up and takes it back before returning,
// so to the analysis the lock stays held across a wait.
class SCOPED_CAPABILITY CUniqueLock {
 public:
  explicit CUniqueLock(CMutex& mutex) ACQUIRE(mutex) : m_lock(mutex.Native()) {}
  ~CUniqueLock() RELEASE() {}
  CUniqueLock(const CUniqueLock&) = delete;
  CUniqueLock& operator=(const CUniqueLock&) = delete;
  void Lock() ACQUIRE() { m_lock.lock(); }
  void Unlock() RELEASE() { m_lock.unlock(); }
  // For std::condition_variable::wait and friends.
  std::unique_lock<std::mutex>& Native() { return m_lock; }

 private:
  std::unique_lock<std::mutex> m_lock;
};

}  // namespace qnv::locks

#endif  // QNVLOCKS_LOCKS_H
