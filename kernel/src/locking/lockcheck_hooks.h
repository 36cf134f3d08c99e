// What the lock primitives tell the lock checker.
#pragma once

struct lockdep_map;

namespace standin::kern {
struct Task;
}

namespace standin::lockcheck {

enum class LockType { spin, mutex, rwsem, sem };

// The task is about to take lock (before it may block), or took it with a
// trylock (trylock = true: no order edge for it).  Records it as held and the
// order "held -> lock" for every lock the task holds.  Returns false when the
// task already holds this very lock.
bool acquire(const void* lock, const struct lockdep_map* map, LockType type, const void* site,
             bool trylock);
// The last acquire of lock did not end with the lock taken (interrupted).
void acquire_failed(const void* lock);
// The task releases lock.  A spin lock or mutex that it does not hold is a
// bad unlock; a semaphore it does not hold makes the semaphore's class a
// counter.
void release(const void* lock, const struct lockdep_map* map, LockType type, const void* site);
// A task ends: forget what it holds.
void task_exit(kern::Task* t);
// The task returns from a system call to user space.  No lock is held
// across that return, so a semaphore it still holds is a counter (a unit
// taken now and given back by a later call), as if released by another task.
void return_to_user();

}  // namespace standin::lockcheck
