// Spin locks and per-task interrupt state.
#include <sched.h>

#include "internal.h"

#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/spinlock.h>

#include "locking/lockcheck_hooks.h"
#include "sched/task.h"

using standin::lockcheck::LockType;

namespace {

void lock_word(spinlock_t* lock) {
  while (__atomic_exchange_n(&lock->slock, 1u, __ATOMIC_ACQUIRE)) {
    while (__atomic_load_n(&lock->slock, __ATOMIC_RELAXED))
      sched_yield();
  }
}

void take(spinlock_t* lock, const void* site) {
  if (!standin::lockcheck::acquire(lock, &lock->dep_map, LockType::spin, site, false))
    panic("spinlock recursion: '%s' taken again by its holder at %p",
          lock->dep_map.name ? lock->dep_map.name : "?", site);
  lock_word(lock);
  standin::kern::self()->spin_depth++;
}

void give(spinlock_t* lock, const void* site) {
  standin::lockcheck::release(lock, &lock->dep_map, LockType::spin, site);
  auto* t = standin::kern::self();
  if (t->spin_depth > 0)
    t->spin_depth--;
  __atomic_store_n(&lock->slock, 0u, __ATOMIC_RELEASE);
}

void irqs_off(const void* site) {
  auto* t = standin::kern::self();
  if (!t->irqs_off) {
    t->irqs_off = true;
    t->irqs_off_site = site;
  }
}

void irqs_set(bool off, const void* site) {
  if (off)
    irqs_off(site);
  else
    standin::kern::self()->irqs_off = false;
}

}  // namespace

extern "C" {

void _spin_lock(spinlock_t* lock) {
  take(lock, STANDIN_CALLER);
}
EXPORT_SYMBOL(_spin_lock);

void _spin_unlock(spinlock_t* lock) {
  give(lock, STANDIN_CALLER);
}
EXPORT_SYMBOL(_spin_unlock);

int _spin_trylock(spinlock_t* lock) {
  if (__atomic_exchange_n(&lock->slock, 1u, __ATOMIC_ACQUIRE))
    return 0;
  standin::lockcheck::acquire(lock, &lock->dep_map, LockType::spin, STANDIN_CALLER, true);
  standin::kern::self()->spin_depth++;
  return 1;
}
EXPORT_SYMBOL(_spin_trylock);

void _spin_lock_irq(spinlock_t* lock) {
  irqs_off(STANDIN_CALLER);
  take(lock, STANDIN_CALLER);
}
EXPORT_SYMBOL(_spin_lock_irq);

void _spin_unlock_irq(spinlock_t* lock) {
  give(lock, STANDIN_CALLER);
  irqs_set(false, nullptr);
}
EXPORT_SYMBOL(_spin_unlock_irq);

unsigned long _spin_lock_irqsave(spinlock_t* lock) {
  unsigned long flags = standin::kern::self()->irqs_off ? 1 : 0;
  irqs_off(STANDIN_CALLER);
  take(lock, STANDIN_CALLER);
  return flags;
}
EXPORT_SYMBOL(_spin_lock_irqsave);

void _spin_unlock_irqrestore(spinlock_t* lock, unsigned long flags) {
  give(lock, STANDIN_CALLER);
  irqs_set(flags != 0, STANDIN_CALLER);
}
EXPORT_SYMBOL(_spin_unlock_irqrestore);

unsigned long __standin_local_irq_save(void) {
  unsigned long flags = standin::kern::self()->irqs_off ? 1 : 0;
  irqs_off(STANDIN_CALLER);
  return flags;
}
EXPORT_SYMBOL(__standin_local_irq_save);

void __standin_local_irq_restore(unsigned long flags) {
  irqs_set(flags != 0, STANDIN_CALLER);
}
EXPORT_SYMBOL(__standin_local_irq_restore);

void __standin_local_irq_disable(void) {
  irqs_off(STANDIN_CALLER);
}
EXPORT_SYMBOL(__standin_local_irq_disable);

void __standin_local_irq_enable(void) {
  irqs_set(false, nullptr);
}
EXPORT_SYMBOL(__standin_local_irq_enable);

int __standin_irqs_disabled(void) {
  return standin::kern::self()->irqs_off ? 1 : 0;
}
EXPORT_SYMBOL(__standin_irqs_disabled);

}  // extern "C"
