// Tasks: current, kernel threads, daemonize, signals and the scheduler calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "support/kernel_test.h"

#include <linux/completion.h>
#include <linux/errno.h>
#include <linux/sched.h>
#include <asm/semaphore.h>

using standin::mem::Kind;

namespace {

using SchedTest = KernelTest;

struct ThreadArgs {
  struct completion started;
  struct completion stop;
  struct completion exited;
  struct semaphore sem;
  std::atomic<int> seen_pid{0};
  std::atomic<int> down_result{1};
  std::atomic<bool> after_exit{false};
  std::atomic<bool> pending_before{false};
};

int named_thread(void* p) {
  auto* a = static_cast<ThreadArgs*>(p);
  daemonize("cgtest%d", 7);
  a->seen_pid = current->pid;
  complete(&a->started);
  wait_for_completion(&a->stop);
  return 0;
}

[[noreturn]] void leave_from_deep_inside(ThreadArgs* a) {
  complete_and_exit(&a->exited, 3);
}

int exiting_thread(void* p) {
  auto* a = static_cast<ThreadArgs*>(p);
  daemonize("cgexit");
  leave_from_deep_inside(a);
}

int signalled_thread(void* p) {
  auto* a = static_cast<ThreadArgs*>(p);
  daemonize("cgsig");
  complete(&a->started);
  // Not allowed yet: a signal sent now is discarded.
  wait_for_completion(&a->stop);
  a->pending_before = signal_pending(current) != 0;
  allow_signal(SIGTERM);
  complete(&a->started);
  a->down_result = down_interruptible(&a->sem);
  if (a->down_result == -EINTR) {
    EXPECT_TRUE(signal_pending(current));
    flush_signals(current);
    EXPECT_FALSE(signal_pending(current));
  }
  complete_and_exit(&a->exited, 0);
}

}  // namespace

TEST_F(SchedTest, CurrentIsPerThreadAndStable) {
  struct task_struct* me = current;
  EXPECT_EQ(me, current);
  EXPECT_GT(me->pid, 0);
  EXPECT_EQ(me, find_task_by_pid(me->pid));
  pid_t other = 0;
  std::thread([&] { other = current->pid; }).join();
  EXPECT_NE(0, other);
  EXPECT_NE(me->pid, other);
  EXPECT_EQ(nullptr, find_task_by_pid(other)) << "a finished thread's task must go";
  EXPECT_EQ(-ESRCH, standin::task::send_signal(other, SIGTERM));
}

TEST_F(SchedTest, KernelThreadRunsNamedAndAccountedUntilItEnds) {
  ThreadArgs a;
  init_completion(&a.started);
  init_completion(&a.stop);
  long pid = kernel_thread(named_thread, &a, CLONE_FS | CLONE_FILES);
  ASSERT_GT(pid, 0);
  wait_for_completion(&a.started);
  EXPECT_EQ(pid, a.seen_pid.load());
  EXPECT_EQ("cgtest7", standin::task::comm(pid));
  auto threads = standin::task::kernel_threads();
  EXPECT_NE(threads.end(), std::find(threads.begin(), threads.end(), pid));
  EXPECT_EQ(1, standin::mem::usage().live(Kind::kthread) - before_.live(Kind::kthread));
  EXPECT_NE("", standin::mem::leak_report(before_));
  complete(&a.stop);
  EXPECT_TRUE(standin::task::wait_kernel_threads(5000));
  EXPECT_EQ("", standin::task::comm(pid));
  ExpectNoLeaks();
}

TEST_F(SchedTest, CompleteAndExitEndsTheThreadWhereItIs) {
  ThreadArgs a;
  init_completion(&a.exited);
  ASSERT_GT(kernel_thread(exiting_thread, &a, 0), 0);
  wait_for_completion(&a.exited);
  EXPECT_TRUE(standin::task::wait_kernel_threads(5000));
  ExpectNoLeaks();
}

TEST_F(SchedTest, KernelThreadCreationCanBeMadeToFail) {
  standin::fault::set(standin::fault::Site::kthread, {.nth = 1});
  ThreadArgs a;
  init_completion(&a.exited);
  long rc = kernel_thread(exiting_thread, &a, 0);
  EXPECT_TRUE(rc == -EAGAIN || rc == -ENOMEM) << rc;
  EXPECT_TRUE(standin::task::kernel_threads().empty());
  EXPECT_EQ(1, standin::fault::failures(standin::fault::Site::kthread));
  ASSERT_GT(kernel_thread(exiting_thread, &a, 0), 0) << "only the first call fails";
  wait_for_completion(&a.exited);
  EXPECT_TRUE(standin::task::wait_kernel_threads(5000));
  standin::fault::clear_all();
  ExpectNoLeaks();
}

TEST_F(SchedTest, KernelThreadsTakeOnlySignalsTheyAllow) {
  ThreadArgs a;
  init_completion(&a.started);
  init_completion(&a.stop);
  init_completion(&a.exited);
  init_MUTEX_LOCKED(&a.sem);
  long pid = kernel_thread(signalled_thread, &a, 0);
  ASSERT_GT(pid, 0);
  wait_for_completion(&a.started);
  EXPECT_EQ(0, kill_proc(pid, SIGTERM, 1));  // discarded: not allowed yet
  complete(&a.stop);
  wait_for_completion(&a.started);  // now allowed, about to sleep
  EXPECT_EQ(0, send_sig(SIGTERM, find_task_by_pid(pid), 1));
  wait_for_completion(&a.exited);
  EXPECT_FALSE(a.pending_before.load());
  EXPECT_EQ(-EINTR, a.down_result.load());
  EXPECT_EQ(1, down_trylock(&a.sem));
  EXPECT_TRUE(standin::task::wait_kernel_threads(5000));
}

TEST_F(SchedTest, ScheduleSleepsUntilWokenOrSignalled) {
  std::atomic<bool> flag{false};
  std::atomic<struct task_struct*> sleeper{nullptr};
  std::thread t([&] {
    sleeper = current;
    for (;;) {
      set_current_state(TASK_UNINTERRUPTIBLE);
      if (flag) break;
      schedule();
    }
    __set_current_state(TASK_RUNNING);
  });
  while (!sleeper) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  flag = true;
  wake_up_process(sleeper);
  t.join();

  std::atomic<pid_t> pid{0};
  std::atomic<bool> interrupted{false};
  std::thread s([&] {
    set_current_state(TASK_INTERRUPTIBLE);
    pid = current->pid;
    schedule();
    interrupted = signal_pending(current) != 0;
    EXPECT_EQ(TASK_RUNNING, current->state);
  });
  while (!pid) std::this_thread::yield();
  standin::task::send_signal(pid, SIGHUP);
  s.join();
  EXPECT_TRUE(interrupted.load());

  // Running tasks just yield; a timed sleep nobody ends runs out.
  schedule();
  set_current_state(TASK_UNINTERRUPTIBLE);
  EXPECT_EQ(0, schedule_timeout(5));
  EXPECT_EQ(TASK_RUNNING, current->state);
  EXPECT_EQ(0, wake_up_process(current)) << "a running task is not woken";
}
