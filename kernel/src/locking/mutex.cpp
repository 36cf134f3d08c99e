// Mutexes: the 2.6.16+ lines only.
#include "internal.h"

#include <linux/version.h>

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 16)

#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/sched.h>

#include "locking/lockcheck_hooks.h"

using standin::lockcheck::LockType;
namespace wait = standin::wait;

namespace {

int mutex_take(struct mutex* lock, bool interruptible, const void* site) {
  standin::lockcheck::might_sleep(interruptible ? "mutex_lock_interruptible" : "mutex_lock", site);
  if (!standin::lockcheck::acquire(lock, &lock->dep_map, LockType::mutex, site, false))
    panic("mutex recursion: '%s' taken again by its owner at %p",
          lock->dep_map.name ? lock->dep_map.name : "?", site);
  struct task_struct* me = current;
  bool waiting = false;
  auto pred = [lock, me, &waiting] {
    if (lock->count == 1) {
      lock->count = 0;
      lock->owner = me;
      if (waiting) lock->waiters--;
      return true;
    }
    if (!waiting) {
      waiting = true;
      lock->waiters++;
    }
    return false;
  };
  if (!interruptible) {
    wait::wait_until(lock, pred);
    return 0;
  }
  if (wait::wait_until_interruptible(lock, pred) == 0) return 0;
  if (waiting) wait::with_lock(lock, [lock] { lock->waiters--; });
  standin::lockcheck::acquire_failed(lock);
  return -EINTR;
}

}  // namespace

extern "C" {

void __mutex_init(struct mutex* lock, const char* name) {
  lock->count = 1;
  lock->waiters = 0;
  lock->owner = nullptr;
  lock->dep_map.name = name;
}
EXPORT_SYMBOL(__mutex_init);

void mutex_lock(struct mutex* lock) {
  mutex_take(lock, false, STANDIN_CALLER);
}
EXPORT_SYMBOL(mutex_lock);

int mutex_lock_interruptible(struct mutex* lock) {
  return mutex_take(lock, true, STANDIN_CALLER);
}
EXPORT_SYMBOL(mutex_lock_interruptible);

int mutex_trylock(struct mutex* lock) {
  struct task_struct* me = current;
  bool got = false;
  wait::with_lock(lock, [lock, me, &got] {
    if (lock->count == 1) {
      lock->count = 0;
      lock->owner = me;
      got = true;
    }
  });
  if (got) standin::lockcheck::acquire(lock, &lock->dep_map, LockType::mutex, STANDIN_CALLER, true);
  return got ? 1 : 0;
}
EXPORT_SYMBOL(mutex_trylock);

void mutex_unlock(struct mutex* lock) {
  standin::lockcheck::release(lock, &lock->dep_map, LockType::mutex, STANDIN_CALLER);
  wait::with_lock(lock, [lock] {
    lock->count = 1;
    lock->owner = nullptr;
  });
}
EXPORT_SYMBOL(mutex_unlock);

int mutex_is_locked(struct mutex* lock) {
  int locked = 0;
  wait::with_lock(lock, [lock, &locked] { locked = lock->count != 1; });
  return locked;
}
EXPORT_SYMBOL(mutex_is_locked);

}  // extern "C"

#endif
