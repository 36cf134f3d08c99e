// Tasks: current, pids, kernel threads, signals and the scheduler calls.
#include <pthread.h>
#include <sched.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "internal.h"
#include "standin/task.h"

#include <linux/completion.h>
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/sched.h>

#include "locking/lockcheck_hooks.h"
#include "sched/task.h"

namespace standin::kern {
namespace {

constexpr std::uint64_t kAllSignals = ~std::uint64_t{0};

// Every live task by pid.  Protected by mu; kthread_cv is signalled when a
// kernel thread ends.
struct TaskTable {
  std::mutex mu;
  std::condition_variable kthread_cv;
  std::unordered_map<pid_t, Task*> by_pid;
  pid_t next_pid = 100;
  int kthreads = 0;
};

TaskTable& table() {
  static TaskTable* t = new TaskTable;  // never destroyed: detached threads outlive main
  return *t;
}

// Every lock, unlock and interrupt-flag change asks for the current task:
// initial-exec keeps that a plain TLS load (the library is always linked
// in, never dlopen'ed) instead of a __tls_get_addr call.
thread_local Task* t_current __attribute__((tls_model("initial-exec"))) = nullptr;

void set_comm(Task* t, const char* name) {
  std::snprintf(t->ts.comm, sizeof t->ts.comm, "%s", name);
}

Task* new_task(const char* comm, bool kthread, std::uint64_t allowed) {
  auto* t = new Task;
  t->kthread = kthread;
  t->allowed.store(allowed);
  t->ts.state = TASK_RUNNING;
  t->ts.standin = t;
  TaskTable& tt = table();
  std::lock_guard lk(tt.mu);
  t->ts.pid = t->ts.tgid = tt.next_pid++;
  set_comm(t, comm);
  tt.by_pid.emplace(t->ts.pid, t);
  if (kthread) tt.kthreads++;
  return t;
}

void end_task(Task* t) {
  lockcheck::task_exit(t);
  TaskTable& tt = table();
  // A kernel thread leaves the accounting before it leaves the count, so
  // that whoever waits for the count to reach 0 finds nothing of it live.
  if (t->kthread) mem::account(mem::Kind::kthread, -1, 0, t);
  {
    std::lock_guard lk(tt.mu);
    tt.by_pid.erase(t->ts.pid);
    if (t->kthread) tt.kthreads--;
  }
  if (t->kthread) tt.kthread_cv.notify_all();
  delete t;
}

// Host threads get a task on first use; it ends with the thread.
struct HostTask {
  Task* task = nullptr;
  ~HostTask() {
    if (task) {
      if (t_current == task) t_current = nullptr;
      end_task(task);
    }
  }
};
thread_local HostTask t_host;

std::string host_thread_name() {
  char name[32] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || !name[0]) return "user";
  return name;
}

struct KthreadStart {
  Task* task;
  int (*fn)(void*);
  void* arg;
};

// Runs a kernel thread; complete_and_exit comes back here by longjmp, so
// nothing in this frame may need destruction between setjmp and the end.
void kthread_main(KthreadStart start) {
  Task* t = start.task;
  t_current = t;
  if (setjmp(t->exit_jmp) == 0) {
    t->can_exit = true;
    t->exit_code = start.fn(start.arg);
  }
  t->can_exit = false;
  t_current = nullptr;
  end_task(t);
}

// Delivers sig to t when t accepts it and wakes t from an interruptible
// sleep.  Caller holds the task table lock (t stays alive).
int deliver_locked(Task* t, int sig) {
  std::uint64_t bit = sig_bit(sig);
  if (!bit) return -EINVAL;
  if (!(t->allowed.load() & bit)) return 0;  // not accepted: discarded
  t->pending.fetch_or(bit);
  if (const void* key = t->sleeping_on.load()) wait::wake_all(key);
  return 0;
}

}  // namespace

Task* self() {
  if (t_current) return t_current;
  Task* t = new_task(host_thread_name().c_str(), false, kAllSignals);
  t_host.task = t;
  t_current = t;
  return t;
}

Task* task_of(struct task_struct* ts) {
  return ts ? static_cast<Task*>(ts->standin) : nullptr;
}

struct task_struct* current_task() {
  return &self()->ts;
}

std::thread start_context_thread(const std::string& comm, std::function<void()> body) {
  Task* t = new_task(comm.c_str(), false, 0);
  return std::thread([t, body = std::move(body)] {
    t_current = t;
    body();
    t_current = nullptr;
    end_task(t);
  });
}

void irq_enter() {
  self()->irq_depth++;
}

void irq_exit() {
  Task* t = self();
  if (t->irq_depth > 0) t->irq_depth--;
}

bool in_atomic() {
  return self()->atomic();
}

bool signal_pending_accepted(struct task_struct* ts) {
  Task* t = task_of(ts);
  return t && (t->pending.load() & t->allowed.load()) != 0;
}

}  // namespace standin::kern

using standin::kern::Task;
using standin::kern::sig_bit;
using standin::kern::table;

// ---- standin::task -------------------------------------------------------

namespace standin::task {

int send_signal(pid_t pid, int sig) {
  auto& tt = table();
  std::lock_guard lk(tt.mu);
  auto it = tt.by_pid.find(pid);
  if (it == tt.by_pid.end()) return -ESRCH;
  return kern::deliver_locked(it->second, sig);
}

std::vector<pid_t> kernel_threads() {
  auto& tt = table();
  std::lock_guard lk(tt.mu);
  std::vector<pid_t> out;
  for (auto& [pid, t] : tt.by_pid)
    if (t->kthread) out.push_back(pid);
  return out;
}

bool wait_kernel_threads(int timeout_ms) {
  auto& tt = table();
  std::unique_lock lk(tt.mu);
  return tt.kthread_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                                [&] { return tt.kthreads == 0; });
}

std::string comm(pid_t pid) {
  auto& tt = table();
  std::lock_guard lk(tt.mu);
  auto it = tt.by_pid.find(pid);
  return it == tt.by_pid.end() ? std::string() : std::string(it->second->ts.comm);
}

}  // namespace standin::task

// ---- kernel interface ------------------------------------------------------

extern "C" {

struct task_struct* get_current(void) {
  return &standin::kern::self()->ts;
}
EXPORT_SYMBOL(get_current);

long kernel_thread(int (*fn)(void*), void* arg, unsigned long flags) {
  if (standin::fault::should_fail(standin::fault::Site::kthread)) return -EAGAIN;
  // A new thread starts with its parent's name and accepts no signal.
  Task* t = standin::kern::new_task(current->comm, true, 0);
  standin::mem::account(standin::mem::Kind::kthread, 1, 0, t, reinterpret_cast<void*>(fn));
  pid_t pid = t->ts.pid;
  std::thread(standin::kern::kthread_main, standin::kern::KthreadStart{t, fn, arg}).detach();
  return pid;
}
EXPORT_SYMBOL(kernel_thread);

void daemonize(const char* name, ...) {
  Task* t = standin::kern::self();
  char buf[TASK_COMM_LEN];
  va_list ap;
  va_start(ap, name);
  std::vsnprintf(buf, sizeof buf, name, ap);
  va_end(ap);
  auto& tt = table();
  std::lock_guard lk(tt.mu);
  standin::kern::set_comm(t, buf);
  t->allowed.store(0);
  t->pending.store(0);
}
EXPORT_SYMBOL(daemonize);

int allow_signal(int sig) {
  std::uint64_t bit = sig_bit(sig);
  if (!bit) return -EINVAL;
  standin::kern::self()->allowed.fetch_or(bit);
  return 0;
}
EXPORT_SYMBOL(allow_signal);

int disallow_signal(int sig) {
  std::uint64_t bit = sig_bit(sig);
  if (!bit) return -EINVAL;
  Task* t = standin::kern::self();
  t->allowed.fetch_and(~bit);
  t->pending.fetch_and(~bit);
  return 0;
}
EXPORT_SYMBOL(disallow_signal);

int signal_pending(struct task_struct* p) {
  return standin::kern::signal_pending_accepted(p) ? 1 : 0;
}
EXPORT_SYMBOL(signal_pending);

void flush_signals(struct task_struct* t) {
  if (Task* task = standin::kern::task_of(t)) task->pending.store(0);
}
EXPORT_SYMBOL(flush_signals);

int send_sig(int sig, struct task_struct* p, int priv) {
  if (!p) return -ESRCH;
  return standin::task::send_signal(p->pid, sig);
}
EXPORT_SYMBOL(send_sig);

int kill_proc(pid_t pid, int sig, int priv) {
  return standin::task::send_signal(pid, sig);
}
EXPORT_SYMBOL(kill_proc);

struct task_struct* find_task_by_pid(pid_t nr) {
  auto& tt = table();
  std::lock_guard lk(tt.mu);
  auto it = tt.by_pid.find(nr);
  return it == tt.by_pid.end() ? nullptr : &it->second->ts;
}
EXPORT_SYMBOL(find_task_by_pid);

int wake_up_process(struct task_struct* tsk) {
  long state = __atomic_load_n(&tsk->state, __ATOMIC_SEQ_CST);
  if (state == TASK_RUNNING) return 0;
  standin::wait::with_lock(tsk, [tsk] { __atomic_store_n(&tsk->state, long{TASK_RUNNING}, __ATOMIC_SEQ_CST); });
  return 1;
}
EXPORT_SYMBOL(wake_up_process);

}  // extern "C"

namespace {

// Sleeps in the state the task set for itself until woken (state back to
// running), a signal for an interruptible sleep, or the timeout.  Returns the
// time left.
std::chrono::nanoseconds sleep_in_state(std::chrono::nanoseconds timeout, bool forever) {
  struct task_struct* ts = current;
  long state = __atomic_load_n(&ts->state, __ATOMIC_SEQ_CST);
  if (state == TASK_RUNNING) {
    sched_yield();
    return timeout;
  }
  bool interruptible = state == TASK_INTERRUPTIBLE;
  auto pred = [ts, interruptible] {
    return __atomic_load_n(&ts->state, __ATOMIC_SEQ_CST) == TASK_RUNNING ||
           (interruptible && standin::kern::signal_pending_accepted(ts));
  };
  std::chrono::nanoseconds left{0};
  if (forever) {
    standin::wait::wait_until(ts, pred);
  } else {
    auto start = std::chrono::steady_clock::now();
    if (standin::wait::wait_until_for(ts, pred, timeout)) {
      left = timeout - (std::chrono::steady_clock::now() - start);
      if (left.count() < 0) left = std::chrono::nanoseconds(0);
    }
  }
  __atomic_store_n(&ts->state, long{TASK_RUNNING}, __ATOMIC_SEQ_CST);
  return left;
}

bool sleeping_state() {
  return __atomic_load_n(&current->state, __ATOMIC_SEQ_CST) != TASK_RUNNING;
}

}  // namespace

extern "C" {

void schedule(void) {
  if (sleeping_state()) standin::lockcheck::might_sleep("schedule", STANDIN_CALLER);
  sleep_in_state(std::chrono::nanoseconds(0), true);
}
EXPORT_SYMBOL(schedule);

// Jiffies are milliseconds (HZ is 1000).
signed long schedule_timeout(signed long timeout) {
  if (sleeping_state()) standin::lockcheck::might_sleep("schedule_timeout", STANDIN_CALLER);
  if (timeout == MAX_SCHEDULE_TIMEOUT) {
    sleep_in_state(std::chrono::nanoseconds(0), true);
    return MAX_SCHEDULE_TIMEOUT;
  }
  if (timeout < 0) timeout = 0;
  auto left = sleep_in_state(std::chrono::milliseconds(timeout), false);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
  if (ms == 0 && left.count() > 0) ms = 1;
  return ms;
}
EXPORT_SYMBOL(schedule_timeout);

int cond_resched(void) {
  standin::lockcheck::might_sleep("cond_resched", STANDIN_CALLER);
  sched_yield();
  return 0;
}
EXPORT_SYMBOL(cond_resched);

void yield(void) {
  sched_yield();
}
EXPORT_SYMBOL(yield);

void msleep(unsigned int msecs) {
  standin::lockcheck::might_sleep("msleep", STANDIN_CALLER);
  std::this_thread::sleep_for(std::chrono::milliseconds(msecs));
}
EXPORT_SYMBOL(msleep);

void complete_and_exit(struct completion* comp, long code) {
  Task* t = standin::kern::self();
  if (comp) complete(comp);
  if (!t->can_exit) panic("complete_and_exit called outside a kernel thread");
  t->exit_code = code;
  std::longjmp(t->exit_jmp, 1);
}
EXPORT_SYMBOL(complete_and_exit);

}  // extern "C"
