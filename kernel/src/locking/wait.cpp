// Hashed wait buckets: sleeping until a condition holds, keyed by address.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "internal.h"

#include <linux/errno.h>

#include "sched/task.h"

namespace standin::wait {
namespace {

struct Bucket {
  std::mutex mu;
  std::condition_variable cv;
};

constexpr std::size_t kBuckets = 512;

Bucket& bucket(const void* key) {
  static Bucket* buckets = new Bucket[kBuckets];  // never destroyed
  auto h = reinterpret_cast<std::uintptr_t>(key);
  h ^= h >> 17;
  h *= 0x9e3779b97f4a7c15ull;
  return buckets[(h >> 32) % kBuckets];
}

// 0: pred holds; -EINTR: interrupted; -ETIMEDOUT: deadline passed.
int wait_impl(const void* key, const std::function<bool()>& pred, bool interruptible,
              std::optional<std::chrono::steady_clock::time_point> deadline) {
  kern::Task* t = kern::self();
  Bucket& b = bucket(key);
  std::unique_lock lk(b.mu);
  t->sleeping_on.store(key);
  int rc = 0;
  for (;;) {
    if (pred()) break;
    if (interruptible && kern::signal_pending_accepted(&t->ts)) {
      rc = -EINTR;
      break;
    }
    if (!deadline) {
      b.cv.wait(lk);
    } else if (b.cv.wait_until(lk, *deadline) == std::cv_status::timeout) {
      if (!pred()) rc = -ETIMEDOUT;
      break;
    }
  }
  t->sleeping_on.store(nullptr);
  return rc;
}

}  // namespace

void wait_until(const void* key, const std::function<bool()>& pred) {
  wait_impl(key, pred, false, std::nullopt);
}

int wait_until_interruptible(const void* key, const std::function<bool()>& pred) {
  return wait_impl(key, pred, true, std::nullopt);
}

bool wait_until_for(const void* key, const std::function<bool()>& pred,
                    std::chrono::nanoseconds timeout, bool interruptible, bool* interrupted) {
  int rc = wait_impl(key, pred, interruptible, std::chrono::steady_clock::now() + timeout);
  if (interrupted) *interrupted = rc == -EINTR;
  return rc == 0;
}

void wake_all(const void* key) {
  Bucket& b = bucket(key);
  // Taking the lock orders the wake after a waiter's check of its predicate.
  std::lock_guard lk(b.mu);
  b.cv.notify_all();
}

void with_lock(const void* key, const std::function<void()>& fn) {
  Bucket& b = bucket(key);
  std::lock_guard lk(b.mu);
  fn();
  b.cv.notify_all();
}

}  // namespace standin::wait
