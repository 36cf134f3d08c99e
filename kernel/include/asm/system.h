#ifndef _ASM_SYSTEM_H
#define _ASM_SYSTEM_H

#include <linux/compiler.h>

/*
 * Memory barriers and the atomic exchanges of x86_64.  The stand-in builds
 * them from the compiler's atomic operations, so that a thread sanitizer sees
 * what they order: xchg() and cmpxchg() are full barriers, as the locked
 * instructions they stand for are.
 */
#define mb() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define rmb() __atomic_thread_fence(__ATOMIC_ACQUIRE)
#define wmb() __atomic_thread_fence(__ATOMIC_RELEASE)
#define smp_mb() mb()
#define smp_rmb() rmb()
#define smp_wmb() wmb()
#define smp_read_barrier_depends() do { } while (0)

/* Stores v in *ptr and returns what *ptr held. */
#define xchg(ptr, v) __atomic_exchange_n((ptr), (v), __ATOMIC_SEQ_CST)

/* Stores nv in *ptr if *ptr holds old; returns what *ptr held. */
#define cmpxchg(ptr, old, nv) \
	({ auto __cx_old = __atomic_load_n((ptr), __ATOMIC_RELAXED); \
	   __cx_old = (old); \
	   __atomic_compare_exchange_n((ptr), &__cx_old, (nv), 0, __ATOMIC_SEQ_CST, \
				       __ATOMIC_SEQ_CST); \
	   __cx_old; })

#endif
