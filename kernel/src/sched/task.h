// The stand-in's private record behind every task_struct.
#pragma once

#include <atomic>
#include <csetjmp>
#include <cstdint>
#include <vector>

#include <linux/sched.h>

namespace standin::lockcheck {
struct Held;
}

namespace standin::kern {

struct Task {
  struct task_struct ts {};
  bool kthread = false;  // made by kernel_thread
  // Signals: a signal is queued only when the task accepts it (bit sig-1).
  std::atomic<std::uint64_t> pending{0};
  std::atomic<std::uint64_t> allowed{0};
  // The wait key the task sleeps on, so that a signal can wake it.
  std::atomic<const void*> sleeping_on{nullptr};

  // Atomic context; touched by the owning thread only.
  int spin_depth = 0;          // spin locks held
  bool irqs_off = false;       // local interrupts disabled
  const void* irqs_off_site = nullptr;
  int irq_depth = 0;           // irq_enter nesting

  // Lock checks: locks held, protected by the lock checker's mutex.
  std::vector<lockcheck::Held*> held;

  // complete_and_exit: the kernel thread's trampoline.
  std::jmp_buf exit_jmp;
  bool can_exit = false;
  long exit_code = 0;

  bool atomic() const { return spin_depth > 0 || irqs_off || irq_depth > 0; }
};

// The calling thread's task (made on first use).
Task* self();
Task* task_of(struct task_struct* ts);

inline std::uint64_t sig_bit(int sig) {
  return (sig >= 1 && sig <= 64) ? (std::uint64_t{1} << (sig - 1)) : 0;
}

}  // namespace standin::kern
