#ifndef _LINUX_SCHED_H
#define _LINUX_SCHED_H

#include <linux/compiler.h>
#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/signal.h>
#include <linux/time.h>

#define TASK_RUNNING 0
#define TASK_INTERRUPTIBLE 1
#define TASK_UNINTERRUPTIBLE 2
#define TASK_STOPPED 4

#define TASK_COMM_LEN 16

/* kernel_thread() flags */
#define CSIGNAL 0x000000ff
#define CLONE_VM 0x00000100
#define CLONE_FS 0x00000200
#define CLONE_FILES 0x00000400
#define CLONE_SIGHAND 0x00000800

#define MAX_SCHEDULE_TIMEOUT LONG_MAX
#define HZ 1000

/*
 * A task: every thread that runs kernel code (user processes entering through
 * a system call, and threads made with kernel_thread) has one.
 */
struct task_struct {
	volatile long state;
	pid_t pid;
	pid_t tgid;
	char comm[TASK_COMM_LEN];
	unsigned long flags;
	void *standin;		/* the stand-in's private task data */
};

__KERNEL_BEGIN_DECLS
struct task_struct *get_current(void);

/* Gives up the processor; returns with the task running again. */
asmlinkage void schedule(void);
int cond_resched(void);
void yield(void);
signed long schedule_timeout(signed long timeout);
void msleep(unsigned int msecs);
int wake_up_process(struct task_struct *tsk);

/*
 * Starts fn(arg) on a new kernel thread; returns its pid or a negative
 * error.  The thread ends when fn returns or calls complete_and_exit().
 */
long kernel_thread(int (*fn)(void *), void *arg, unsigned long flags);
/* Detaches a kernel thread from its creator; names it (printf format). */
void daemonize(const char *name, ...) __attribute__((format(printf, 1, 2)));

/* Signals: kernel threads block all signals until they allow them. */
int allow_signal(int sig);
int disallow_signal(int sig);
int signal_pending(struct task_struct *p);
void flush_signals(struct task_struct *t);
int send_sig(int sig, struct task_struct *p, int priv);
int kill_proc(pid_t pid, int sig, int priv);
struct task_struct *find_task_by_pid(pid_t nr);
__KERNEL_END_DECLS

#define current get_current()

/* The state is read by wakers on other threads: both forms store atomically. */
#define __set_current_state(state_value) \
	do { __atomic_store_n(&current->state, (long)(state_value), __ATOMIC_RELAXED); } while (0)
#define set_current_state(state_value) \
	do { __atomic_store_n(&current->state, (long)(state_value), __ATOMIC_SEQ_CST); } while (0)

#endif
