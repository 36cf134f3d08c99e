// Spin locks, semaphores, read-write semaphores, completions and mutexes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/kernel_test.h"

#include <linux/completion.h>
#include <linux/errno.h>
#include <linux/rwsem.h>
#include <linux/sched.h>
#include <linux/spinlock.h>
#include <linux/version.h>
#include <asm/semaphore.h>
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 16)
#include <linux/mutex.h>
#endif

namespace {

using LockingTest = KernelTest;

void settle() {  // lets a started thread reach its sleep; never needed for correctness
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace

TEST_F(LockingTest, SpinLockExcludesAndIrqsaveRestoresTheOuterState) {
  DEFINE_SPINLOCK(lock);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        unsigned long flags;
        spin_lock_irqsave(&lock, flags);
        counter++;
        spin_unlock_irqrestore(&lock, flags);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(80000, counter);

  EXPECT_FALSE(irqs_disabled());
  unsigned long outer, inner;
  local_irq_save(outer);
  EXPECT_TRUE(irqs_disabled());
  spin_lock_irqsave(&lock, inner);
  EXPECT_TRUE(spin_is_locked(&lock));
  EXPECT_FALSE(spin_trylock(&lock));
  spin_unlock_irqrestore(&lock, inner);
  EXPECT_TRUE(irqs_disabled()) << "inner restore must keep the outer disable";
  local_irq_restore(outer);
  EXPECT_FALSE(irqs_disabled());
  EXPECT_TRUE(spin_trylock(&lock));
  spin_unlock(&lock);
}

TEST_F(LockingTest, SemaphoreCountsAndTrylockNeverBlocks) {
  struct semaphore sem;
  sema_init(&sem, 3);
  EXPECT_EQ(0, down_trylock(&sem));
  EXPECT_EQ(0, down_trylock(&sem));
  down(&sem);
  EXPECT_EQ(1, down_trylock(&sem)) << "a fourth holder of a count-3 semaphore";
  up(&sem);
  EXPECT_EQ(0, down_trylock(&sem));
  for (int i = 0; i < 3; ++i) up(&sem);

  // Never more than three inside at once, and everyone gets in.
  std::atomic<int> inside{0}, most{0}, done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        down(&sem);
        int now = ++inside;
        int m = most.load();
        while (now > m && !most.compare_exchange_weak(m, now)) {
        }
        std::this_thread::yield();
        --inside;
        up(&sem);
      }
      ++done;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(6, done.load());
  EXPECT_LE(most.load(), 3);
  EXPECT_EQ(0, down_trylock(&sem));
  EXPECT_EQ(0, down_trylock(&sem));
  EXPECT_EQ(0, down_trylock(&sem));
  EXPECT_EQ(1, down_trylock(&sem)) << "the count drifted";
}

TEST_F(LockingTest, LockedSemaphoreHandsOverAcrossThreads) {
  DECLARE_MUTEX_LOCKED(ready);
  long shared = 0;
  std::thread waiter([&] {
    down(&ready);
    shared += 1;  // ordered after the writer's store by the semaphore
  });
  shared = 41;
  up(&ready);
  waiter.join();
  EXPECT_EQ(42, shared);
}

TEST_F(LockingTest, DownInterruptibleStopsForAnAcceptedSignalOnly) {
  DECLARE_MUTEX_LOCKED(sem);
  std::atomic<pid_t> pid{0};
  std::atomic<int> result{1};
  std::thread waiter([&] {
    pid = current->pid;
    result = down_interruptible(&sem);
  });
  while (!pid) std::this_thread::yield();
  settle();
  EXPECT_EQ(0, standin::task::send_signal(pid, SIGUSR1));
  waiter.join();
  EXPECT_EQ(-EINTR, result.load());
  EXPECT_EQ(1, down_trylock(&sem)) << "an interrupted down must not take the semaphore";

  // The same with the signal refused: the waiter stays until up().
  pid = 0;
  std::atomic<bool> refused{false};
  std::thread stubborn([&] {
    disallow_signal(SIGUSR2);
    pid = current->pid;
    refused = true;
    result = down_interruptible(&sem);
  });
  while (!refused) std::this_thread::yield();
  EXPECT_EQ(0, standin::task::send_signal(pid, SIGUSR2));
  settle();
  up(&sem);
  stubborn.join();
  EXPECT_EQ(0, result.load());
  EXPECT_EQ(1, down_trylock(&sem)) << "the waiter took the count";
}

TEST_F(LockingTest, RwsemReadersShareAndAQueuedWriterBlocksNewReaders) {
  DECLARE_RWSEM(rw);
  down_read(&rw);
  std::atomic<bool> second_in{false};
  std::thread reader([&] {
    down_read(&rw);
    second_in = true;
    up_read(&rw);
  });
  reader.join();
  EXPECT_TRUE(second_in.load()) << "a second reader must get in beside the first";
  EXPECT_EQ(0, down_write_trylock(&rw));

  std::atomic<int> order{0}, writer_at{0}, reader_at{0};
  std::thread writer([&] {
    down_write(&rw);
    writer_at = ++order;
    up_write(&rw);
  });
  // Wait until the writer is queued: from then on a read trylock fails.
  for (;;) {
    if (!down_read_trylock(&rw)) break;
    up_read(&rw);
    std::this_thread::yield();
  }
  std::thread late_reader([&] {
    down_read(&rw);
    reader_at = ++order;
    up_read(&rw);
  });
  settle();
  EXPECT_EQ(0, reader_at.load()) << "a reader passed a waiting writer";
  up_read(&rw);
  writer.join();
  late_reader.join();
  EXPECT_EQ(1, writer_at.load());
  EXPECT_EQ(2, reader_at.load());
}

TEST_F(LockingTest, RwsemWriterIsNotStarvedByAStreamOfReaders) {
  DECLARE_RWSEM(rw);
  constexpr int kRounds = 20000;
  std::atomic<bool> writer_done{false};
  std::atomic<int> readers_saw_writer{0}, started{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t)
    readers.emplace_back([&] {
      ++started;
      bool saw = false;
      for (int i = 0; i < kRounds && !saw; ++i) {
        down_read(&rw);
        std::this_thread::yield();  // overlap with the other readers
        saw = writer_done.load();
        up_read(&rw);
      }
      if (saw) ++readers_saw_writer;
    });
  while (started < 4) std::this_thread::yield();
  down_write(&rw);
  writer_done = true;
  up_write(&rw);
  for (auto& t : readers) t.join();
  // Had readers kept the writer out, none would have seen it before running
  // out of rounds.
  EXPECT_GT(readers_saw_writer.load(), 0);
}

TEST_F(LockingTest, RwsemDowngradeLetsReadersIn) {
  DECLARE_RWSEM(rw);
  down_write(&rw);
  downgrade_write(&rw);
  EXPECT_EQ(1, down_read_trylock(&rw));
  up_read(&rw);
  EXPECT_EQ(0, down_write_trylock(&rw));
  up_read(&rw);
  EXPECT_EQ(1, down_write_trylock(&rw));
  up_write(&rw);
}

TEST_F(LockingTest, CompletionsCountAndCompleteAllReleasesEveryone) {
  DECLARE_COMPLETION(done);
  complete(&done);
  complete(&done);
  wait_for_completion(&done);  // both already counted: no sleep
  wait_for_completion(&done);

  std::atomic<int> through{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      wait_for_completion(&done);
      ++through;
    });
  settle();
  EXPECT_EQ(0, through.load());
  complete_all(&done);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(3, through.load());
  wait_for_completion(&done);  // stays complete

  struct completion fresh;
  init_completion(&fresh);
  std::atomic<pid_t> pid{0};
  std::atomic<int> rc{0};
  std::thread w([&] {
    pid = current->pid;
    rc = wait_for_completion_interruptible(&fresh);
  });
  while (!pid) std::this_thread::yield();
  standin::task::send_signal(pid, SIGINT);
  w.join();
  EXPECT_EQ(-ERESTARTSYS, rc.load());
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 16)
TEST_F(LockingTest, MutexExcludesTracksOwnerAndIsInterruptible) {
  DEFINE_MUTEX(m);
  EXPECT_FALSE(mutex_is_locked(&m));
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        mutex_lock(&m);
        counter++;
        mutex_unlock(&m);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(15000, counter);

  mutex_lock(&m);
  EXPECT_TRUE(mutex_is_locked(&m));
  EXPECT_EQ(current, m.owner);
  std::atomic<pid_t> pid{0};
  std::atomic<int> rc{1}, tried{1};
  std::thread other([&] {
    tried = mutex_trylock(&m);
    pid = current->pid;
    rc = mutex_lock_interruptible(&m);
  });
  while (!pid) std::this_thread::yield();
  standin::task::send_signal(pid, SIGTERM);
  other.join();
  EXPECT_EQ(0, tried.load());
  EXPECT_EQ(-EINTR, rc.load());
  EXPECT_EQ(current, m.owner);
  mutex_unlock(&m);
  EXPECT_EQ(1, mutex_trylock(&m));
  mutex_unlock(&m);
}
#endif
