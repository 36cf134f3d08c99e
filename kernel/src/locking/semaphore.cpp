// Counting semaphores, read-write semaphores and completions.  Their state
// is plain data in the kernel's records, changed only under the wait bucket
// of the record's address.
#include <climits>

#include "internal.h"

#include <linux/completion.h>
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/rwsem.h>
#include <asm/semaphore.h>

#include "locking/lockcheck_hooks.h"

using standin::lockcheck::LockType;
namespace wait = standin::wait;

// ---- semaphores -------------------------------------------------------------

namespace {

int sem_down(struct semaphore* sem, bool interruptible, const void* site) {
  standin::lockcheck::might_sleep(interruptible ? "down_interruptible" : "down", site);
  standin::lockcheck::acquire(sem, &sem->dep_map, LockType::sem, site, false);
  bool waiting = false;
  auto pred = [sem, &waiting] {
    if (sem->count > 0) {
      sem->count--;
      if (waiting) sem->sleepers--;
      return true;
    }
    if (!waiting) {
      waiting = true;
      sem->sleepers++;
    }
    return false;
  };
  if (!interruptible) {
    wait::wait_until(sem, pred);
    return 0;
  }
  int rc = wait::wait_until_interruptible(sem, pred);
  if (rc) {
    if (waiting) wait::with_lock(sem, [sem] { sem->sleepers--; });
    standin::lockcheck::acquire_failed(sem);
  }
  return rc;
}

}  // namespace

extern "C" {

void down(struct semaphore* sem) {
  sem_down(sem, false, STANDIN_CALLER);
}
EXPORT_SYMBOL(down);

int down_interruptible(struct semaphore* sem) {
  return sem_down(sem, true, STANDIN_CALLER);
}
EXPORT_SYMBOL(down_interruptible);

int down_trylock(struct semaphore* sem) {
  bool got = false;
  wait::with_lock(sem, [sem, &got] {
    if (sem->count > 0) {
      sem->count--;
      got = true;
    }
  });
  if (!got) return 1;
  standin::lockcheck::acquire(sem, &sem->dep_map, LockType::sem, STANDIN_CALLER, true);
  return 0;
}
EXPORT_SYMBOL(down_trylock);

void up(struct semaphore* sem) {
  standin::lockcheck::release(sem, &sem->dep_map, LockType::sem, STANDIN_CALLER);
  wait::with_lock(sem, [sem] { sem->count++; });
}
EXPORT_SYMBOL(up);

}  // extern "C"

// ---- read-write semaphores ------------------------------------------------------
//
// Tickets in arrival order: a waiter enters only when it is the next ticket
// served and the semaphore admits it (no writer inside for a reader; empty
// for a writer).  Readers in a row go in together; a writer waiting blocks
// every reader behind it.

namespace {

bool rwsem_uncontended(const struct rw_semaphore* sem) {
  return sem->ticket_next == sem->ticket_serve;
}

void rwsem_down(struct rw_semaphore* sem, bool write, const void* site) {
  standin::lockcheck::might_sleep(write ? "down_write" : "down_read", site);
  standin::lockcheck::acquire(sem, &sem->dep_map, LockType::rwsem, site, false);
  unsigned long ticket = 0;
  bool have_ticket = false;
  wait::wait_until(sem, [&] {
    if (!have_ticket) {
      ticket = sem->ticket_next++;
      have_ticket = true;
      if (write)
        sem->wait_writers++;
      else
        sem->wait_readers++;
    }
    if (sem->ticket_serve != ticket) return false;
    if (write ? sem->activity != 0 : sem->activity < 0) return false;
    sem->ticket_serve++;
    if (write) {
      sem->wait_writers--;
      sem->activity = -1;
    } else {
      sem->wait_readers--;
      sem->activity++;
    }
    return true;
  });
  // The next ticket may be a reader that can come in too.
  if (!write) wait::wake_all(sem);
}

}  // namespace

extern "C" {

void down_read(struct rw_semaphore* sem) {
  rwsem_down(sem, false, STANDIN_CALLER);
}
EXPORT_SYMBOL(down_read);

void down_write(struct rw_semaphore* sem) {
  rwsem_down(sem, true, STANDIN_CALLER);
}
EXPORT_SYMBOL(down_write);

int down_read_trylock(struct rw_semaphore* sem) {
  bool got = false;
  wait::with_lock(sem, [sem, &got] {
    if (rwsem_uncontended(sem) && sem->activity >= 0) {
      sem->activity++;
      got = true;
    }
  });
  if (got) standin::lockcheck::acquire(sem, &sem->dep_map, LockType::rwsem, STANDIN_CALLER, true);
  return got ? 1 : 0;
}
EXPORT_SYMBOL(down_read_trylock);

int down_write_trylock(struct rw_semaphore* sem) {
  bool got = false;
  wait::with_lock(sem, [sem, &got] {
    if (rwsem_uncontended(sem) && sem->activity == 0) {
      sem->activity = -1;
      got = true;
    }
  });
  if (got) standin::lockcheck::acquire(sem, &sem->dep_map, LockType::rwsem, STANDIN_CALLER, true);
  return got ? 1 : 0;
}
EXPORT_SYMBOL(down_write_trylock);

void up_read(struct rw_semaphore* sem) {
  standin::lockcheck::release(sem, &sem->dep_map, LockType::rwsem, STANDIN_CALLER);
  bool bad = false;
  wait::with_lock(sem, [sem, &bad] {
    if (sem->activity > 0)
      sem->activity--;
    else
      bad = true;
  });
  if (bad) panic("up_read: rw semaphore %p is not held for reading", static_cast<void*>(sem));
}
EXPORT_SYMBOL(up_read);

void up_write(struct rw_semaphore* sem) {
  standin::lockcheck::release(sem, &sem->dep_map, LockType::rwsem, STANDIN_CALLER);
  bool bad = false;
  wait::with_lock(sem, [sem, &bad] {
    if (sem->activity == -1)
      sem->activity = 0;
    else
      bad = true;
  });
  if (bad) panic("up_write: rw semaphore %p is not held for writing", static_cast<void*>(sem));
}
EXPORT_SYMBOL(up_write);

void downgrade_write(struct rw_semaphore* sem) {
  wait::with_lock(sem, [sem] {
    if (sem->activity == -1) sem->activity = 1;
  });
}
EXPORT_SYMBOL(downgrade_write);

}  // extern "C"

// ---- completions ------------------------------------------------------------

namespace {

bool take_done(struct completion* x) {
  if (x->done == 0) return false;
  x->done--;
  return true;
}

}  // namespace

extern "C" {

void wait_for_completion(struct completion* x) {
  standin::lockcheck::might_sleep("wait_for_completion", STANDIN_CALLER);
  wait::wait_until(x, [x] { return take_done(x); });
}
EXPORT_SYMBOL(wait_for_completion);

int wait_for_completion_interruptible(struct completion* x) {
  standin::lockcheck::might_sleep("wait_for_completion_interruptible", STANDIN_CALLER);
  return wait::wait_until_interruptible(x, [x] { return take_done(x); }) ? -ERESTARTSYS : 0;
}
EXPORT_SYMBOL(wait_for_completion_interruptible);

void complete(struct completion* x) {
  wait::with_lock(x, [x] { x->done++; });
}
EXPORT_SYMBOL(complete);

void complete_all(struct completion* x) {
  wait::with_lock(x, [x] { x->done += UINT_MAX / 2; });
}
EXPORT_SYMBOL(complete_all);

}  // extern "C"
