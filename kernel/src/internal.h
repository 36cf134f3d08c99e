// Helpers the stand-in's own subsystems share: accounting, fault injection,
// threads with tasks, address-keyed waiting, and the sleep check.
//
// Include it after the standard headers and before any <linux/...> header
// (it includes none of them itself; the types it needs are declared here).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

#include "standin/fault.h"
#include "standin/memory.h"

struct task_struct;
struct page;

// The caller of the function that uses it: the site that an accounting
// record, a lock acquisition or a sleep report names.
#define STANDIN_CALLER __builtin_return_address(0)

namespace standin::mem {

// Adjusts the live count and bytes of kind.  With obj, a positive
// count_delta also records obj as one live allocation of `bytes_delta` bytes
// made by caller (shown by leak_report), and a negative one forgets it.
void account(Kind kind, long count_delta, long bytes_delta, const void* obj = nullptr,
             const void* caller = nullptr);
// The same for one object, with a check: untrack returns false (and changes
// nothing) when obj is not live as that kind.
void track(Kind kind, const void* obj, long bytes, const void* caller);
bool untrack(Kind kind, const void* obj);
// Bytes of a live tracked object (-1 when obj is not live as that kind).
long tracked_bytes(Kind kind, const void* obj);

// The page pool: every frame lives in one memfd, mapped once as the direct
// map.  A user mapping of (pool_fd(), frame_offset(page), PAGE_SIZE) shares
// the frame's bytes with page_address(page).
int pool_fd();
off_t frame_offset(const struct page* page);
// The frame at a byte offset in the pool (nullptr outside it).
struct page* frame_at(off_t offset);
// Whether addr lies in the direct map of the pool.
bool in_direct_map(const void* addr);

}  // namespace standin::mem

namespace standin::fault {

// Counts a call at site and says whether it must fail.  For the slab sites
// name is the cache name that the name_prefix filter looks at.
bool should_fail(Site site, const char* name = nullptr);

}  // namespace standin::fault

namespace standin::mm {

// The process's mmap semaphore, taken for reading as the page-fault path
// takes it (user copies, faults on device mappings).  May sleep.
void fault_lock();
void fault_unlock();

}  // namespace standin::mm

namespace standin::kern {

// The calling thread's task; made on first use for a host thread.
struct task_struct* current_task();

// Starts body on a new joinable host thread that runs with its own task
// named comm (a "completion context" such as a disk's I/O thread).  It is not
// a kernel thread: it is not counted as Kind::kthread nor listed as one, and
// it accepts no signals.  The caller joins it.
std::thread start_context_thread(const std::string& comm, std::function<void()> body);

// Interrupt context: between irq_enter and irq_exit the calling task is
// atomic, so every sleeping call it makes is reported (nesting allowed).
void irq_enter();
void irq_exit();
bool in_atomic();

// Whether a signal that the task accepts is pending for it.
bool signal_pending_accepted(struct task_struct* t);

}  // namespace standin::kern

namespace standin::wait {

// Hashed wait buckets keyed by an address (as the kernel's bit and page wait
// queues).  pred is evaluated with the key's bucket lock held; it must read
// state that is changed either under with_lock(key, ...) or atomically, and
// every change that may make it true must be followed by wake_all(key).
// These do not run the sleep check: callers that are sleeping primitives run
// standin::lockcheck::might_sleep first.
void wait_until(const void* key, const std::function<bool()>& pred);
// Returns 0 once pred holds, or -EINTR when a signal that the task accepts
// is pending first.
int wait_until_interruptible(const void* key, const std::function<bool()>& pred);
// Returns true once pred holds, false when timeout passed first (or, when
// interruptible, a signal the task accepts is pending: then *interrupted).
bool wait_until_for(const void* key, const std::function<bool()>& pred,
                    std::chrono::nanoseconds timeout, bool interruptible = false,
                    bool* interrupted = nullptr);
// Wakes every waiter of key (all waiters re-check their predicates).
void wake_all(const void* key);
// Runs fn with key's bucket lock held, then wakes every waiter of key.
void with_lock(const void* key, const std::function<void()>& fn);

}  // namespace standin::wait

namespace standin::lockcheck {

// The sleep check: primitive (e.g. "down") is about to sleep; reports a
// sleep-in-atomic violation naming the caller site (caller, or the first
// frame outside the stand-in) and the spin locks held with their sites.
void might_sleep(const char* primitive, const void* caller = nullptr);

}  // namespace standin::lockcheck
