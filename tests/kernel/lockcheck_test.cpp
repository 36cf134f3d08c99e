// The lock checks: sleeping in atomic context, lock-order inversions,
// counting semaphores and bad unlocks.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/kernel_test.h"

#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/uaccess.h>
#include <linux/rwsem.h>
#include <asm/semaphore.h>

namespace {

class LockCheckTest : public KernelTest {
 protected:
  // Violations so far (taken, so the fixture does not fail on them).
  std::vector<standin::lockcheck::Violation> Take() { return standin::lockcheck::take(); }
};

bool has(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

// Named call sites for the reports (the barrier keeps each call a real
// call from here, not a tail jump).
extern "C" __attribute__((__noinline__)) void cg_take_spin(spinlock_t* l) {
  spin_lock(l);
  __asm__ __volatile__("" ::: "memory");
}
extern "C" __attribute__((__noinline__)) void cg_sleep_down(struct semaphore* s) {
  down(s);
  __asm__ __volatile__("" ::: "memory");
}
extern "C" __attribute__((__noinline__)) void* cg_sleep_kmalloc() {
  void* p = kmalloc(32, GFP_KERNEL);
  __asm__ __volatile__("" ::: "memory");
  return p;
}

}  // namespace

TEST_F(LockCheckTest, DownUnderSpinLockNamesBothSites) {
  spinlock_t lock;
  spin_lock_init(&lock);
  DECLARE_MUTEX(sem);
  cg_take_spin(&lock);
  cg_sleep_down(&sem);  // count 1: does not block, but may sleep
  spin_unlock(&lock);
  up(&sem);
  auto v = Take();
  ASSERT_EQ(1u, v.size());
  EXPECT_EQ("sleep-in-atomic", v[0].kind);
  const std::string& r = v[0].report;
  EXPECT_TRUE(has(r, "down from cg_sleep_down")) << r;
  EXPECT_TRUE(has(r, "holding spin lock '&lock (")) << r;
  EXPECT_TRUE(has(r, "lockcheck_test.cpp")) << r;
  EXPECT_TRUE(has(r, "taken at cg_take_spin")) << r;
}

TEST_F(LockCheckTest, SleepingAllocationsAndCopiesInAtomicContext) {
  DEFINE_SPINLOCK(lock);
  unsigned long flags;
  spin_lock_irqsave(&lock, flags);
  void* ok = kmalloc(32, GFP_ATOMIC);  // does not sleep: fine
  EXPECT_TRUE(Take().empty());
  void* bad = cg_sleep_kmalloc();
  spin_unlock_irqrestore(&lock, flags);
  auto v = Take();
  ASSERT_EQ(1u, v.size());
  EXPECT_TRUE(has(v[0].report, "kmalloc from cg_sleep_kmalloc")) << v[0].report;
  EXPECT_TRUE(has(v[0].report, "interrupts disabled at")) << v[0].report;
  kfree(ok);
  kfree(bad);

  // Interrupts off without a lock is atomic too.
  local_irq_disable();
  char buf[4], src[4] = {1, 2, 3, 4};
  EXPECT_EQ(0ul, copy_from_user(buf, src, sizeof buf));
  local_irq_enable();
  v = Take();
  ASSERT_EQ(1u, v.size());
  EXPECT_TRUE(has(v[0].report, "copy_from_user from")) << v[0].report;

  // And nothing once the task is preemptible again.
  EXPECT_EQ(0ul, copy_from_user(buf, src, sizeof buf));
  void* fine = kmalloc(8, GFP_KERNEL);
  kfree(fine);
  EXPECT_TRUE(Take().empty());
}

TEST_F(LockCheckTest, OppositeOrdersOfTwoClassesAreAnInversion) {
  spinlock_t a, b;
  spin_lock_init(&a);
  spin_lock_init(&b);
  spin_lock(&a);
  spin_lock(&b);
  spin_unlock(&b);
  spin_unlock(&a);
  EXPECT_TRUE(Take().empty());
  // The other order, on another thread and on rwsem/semaphore mixes too.
  std::thread([&] {
    spin_lock(&b);
    spin_lock(&a);
    spin_unlock(&a);
    spin_unlock(&b);
  }).join();
  auto v = Take();
  ASSERT_EQ(1u, v.size());
  EXPECT_EQ("lock-inversion", v[0].kind);
  const std::string& r = v[0].report;
  EXPECT_TRUE(has(r, "new order: '&b (")) << r;
  EXPECT_TRUE(has(r, "earlier order: '&a (")) << r;
}

TEST_F(LockCheckTest, LongerCyclesThroughRwsemsAndSemaphoresAreFound) {
  DECLARE_RWSEM(r1);
  struct semaphore s2;
  sema_init(&s2, 1);
  DECLARE_RWSEM(r3);
  down_read(&r1);
  down(&s2);
  up(&s2);
  up_read(&r1);  // r1 -> s2
  down(&s2);
  down_write(&r3);
  up_write(&r3);
  up(&s2);  // s2 -> r3
  down_read(&r3);
  EXPECT_EQ(1, down_write_trylock(&r1)) << "uncontended";
  up_write(&r1);
  up_read(&r3);
  EXPECT_TRUE(Take().empty()) << "a trylock makes no edge";
  std::thread([&] {
    down_write(&r3);
    down_read(&r1);  // r3 -> r1 closes r1 -> s2 -> r3
    up_read(&r1);
    up_write(&r3);
  }).join();
  auto v = Take();
  ASSERT_EQ(1u, v.size());
  EXPECT_EQ("lock-inversion", v[0].kind);
  EXPECT_TRUE(has(v[0].report, "earlier order: 'r1 (")) << v[0].report;
  EXPECT_TRUE(has(v[0].report, "' -> '&s2 (")) << v[0].report;
}

TEST_F(LockCheckTest, ConsistentNestingAndSameClassNestingAreNotReported) {
  spinlock_t outer, inner;
  spin_lock_init(&outer);
  spin_lock_init(&inner);
  auto nest = [&] {
    for (int i = 0; i < 100; ++i) {
      spin_lock(&outer);
      spin_lock(&inner);
      spin_unlock(&inner);
      spin_unlock(&outer);
    }
  };
  std::thread t1(nest), t2(nest);
  t1.join();
  t2.join();
  // Locks initialised at one place share a class: nesting them either way is
  // not an order between classes.
  spinlock_t pair[2];
  for (auto& l : pair) spin_lock_init(&l);
  spin_lock(&pair[0]);
  spin_lock(&pair[1]);
  spin_unlock(&pair[1]);
  spin_unlock(&pair[0]);
  spin_lock(&pair[1]);
  spin_lock(&pair[0]);
  spin_unlock(&pair[0]);
  spin_unlock(&pair[1]);
  // A trylock of the outer lock inside the inner one makes no edge.
  spin_lock(&inner);
  EXPECT_TRUE(spin_trylock(&outer));
  spin_unlock(&outer);
  spin_unlock(&inner);
  EXPECT_TRUE(Take().empty());
}

TEST_F(LockCheckTest, CountingSemaphoreIsNotALock) {
  // A worker's wake-up semaphore: taken by the worker, given by others.
  struct semaphore wake, m;
  sema_init(&wake, 2);
  sema_init(&m, 1);
  std::thread worker([&] {
    down(&wake);
    down(&m);  // would be wake -> m if wake were a lock
    up(&m);
  });
  worker.join();
  std::thread other([&] {
    down(&m);
    down(&wake);  // would be m -> wake
    up(&m);
  });
  other.join();
  up(&wake);
  up(&wake);
  EXPECT_TRUE(Take().empty());

  // Semaphores used as locks are checked like locks.
  struct semaphore s1, s2;
  sema_init(&s1, 1);
  sema_init(&s2, 1);
  down(&s1);
  down(&s2);
  up(&s2);
  up(&s1);
  EXPECT_TRUE(Take().empty());
  down(&s2);
  down(&s1);
  up(&s1);
  up(&s2);
  auto v = Take();
  ASSERT_EQ(1u, v.size());
  EXPECT_EQ("lock-inversion", v[0].kind);
  EXPECT_TRUE(has(v[0].report, "'&s2 (")) << v[0].report;
  EXPECT_TRUE(has(v[0].report, "'&s1 (")) << v[0].report;
}

TEST_F(LockCheckTest, CounterEdgesAreDiscardedWhenTheCounterIsFound) {
  // The worker downs its semaphore and takes m: pending.  Once another task
  // ups it, it is a counter and m -> wake later is no inversion.
  struct semaphore wake, m;
  sema_init(&wake, 0);
  sema_init(&m, 1);
  std::thread worker([&] {
    down(&wake);
    down(&m);
    up(&m);
    down(&wake);
  });
  up(&wake);
  down(&m);
  up(&wake);
  up(&m);
  worker.join();
  down(&m);
  EXPECT_EQ(1, down_trylock(&wake));
  up(&m);
  EXPECT_TRUE(Take().empty());
}

TEST_F(LockCheckTest, UnlockingALockNotHeldIsReported) {
  DEFINE_SPINLOCK(lock);
  spin_lock(&lock);
  std::thread([&] { spin_unlock(&lock); }).join();
  auto v = Take();
  ASSERT_EQ(1u, v.size());
  EXPECT_EQ("bad-unlock", v[0].kind);
  EXPECT_TRUE(has(v[0].report, "spin lock 'lock (")) << v[0].report;
  // This task's own record of the lock is still there: drop it cleanly.
  spin_lock_init(&lock);
  EXPECT_TRUE(spin_trylock(&lock));
  spin_unlock(&lock);
  spin_unlock(&lock);
  Take();
}

TEST_F(LockCheckTest, TakingAHeldSpinLockAgainStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  DEFINE_SPINLOCK(lock);
  EXPECT_DEATH(
      {
        spin_lock(&lock);
        spin_lock(&lock);
      },
      "spinlock recursion");
}

// Off (as for a benchmark), the validator sees nothing: neither an inversion
// nor a sleep under a spin lock; on again, it sees both once more.
TEST_F(LockCheckTest, TurnedOffItReportsNothingAndOnAgainItDoes) {
  auto invert_and_sleep = [] {
    spinlock_t a, b;
    spin_lock_init(&a);
    spin_lock_init(&b);
    DECLARE_MUTEX(sem);
    spin_lock(&a);
    spin_lock(&b);
    spin_unlock(&b);
    spin_unlock(&a);
    spin_lock(&b);
    spin_lock(&a);
    cg_sleep_down(&sem);
    spin_unlock(&a);
    spin_unlock(&b);
    up(&sem);
  };
  standin::lockcheck::set_enabled(false);
  invert_and_sleep();
  standin::lockcheck::set_enabled(true);
  EXPECT_TRUE(Take().empty());
  invert_and_sleep();
  auto v = Take();
  ASSERT_EQ(2u, v.size());
  EXPECT_EQ("lock-inversion", v[0].kind);
  EXPECT_EQ("sleep-in-atomic", v[1].kind);
}
