#ifndef _ASM_ATOMIC_H
#define _ASM_ATOMIC_H

#include <linux/version.h>
#include <asm/system.h>

/*
 * Atomic counters; every read-modify-write is a full barrier.  atomic_read
 * is an acquire load and atomic_set a release store (plain moves on x86),
 * so a task that polls a counter is ordered after the decrements it saw.
 */
typedef struct { volatile int counter; } atomic_t;

#define ATOMIC_INIT(i) { (i) }

static inline int atomic_read(const atomic_t *v)
{
	return __atomic_load_n(&v->counter, __ATOMIC_ACQUIRE);
}
static inline void atomic_set(atomic_t *v, int i)
{
	__atomic_store_n(&v->counter, i, __ATOMIC_RELEASE);
}
static inline void atomic_add(int i, atomic_t *v)
{
	__atomic_fetch_add(&v->counter, i, __ATOMIC_SEQ_CST);
}
static inline void atomic_sub(int i, atomic_t *v)
{
	__atomic_fetch_sub(&v->counter, i, __ATOMIC_SEQ_CST);
}
static inline void atomic_inc(atomic_t *v)
{
	atomic_add(1, v);
}
static inline void atomic_dec(atomic_t *v)
{
	atomic_sub(1, v);
}
static inline int atomic_add_return(int i, atomic_t *v)
{
	return __atomic_add_fetch(&v->counter, i, __ATOMIC_SEQ_CST);
}
static inline int atomic_sub_return(int i, atomic_t *v)
{
	return __atomic_sub_fetch(&v->counter, i, __ATOMIC_SEQ_CST);
}
#define atomic_inc_return(v) atomic_add_return(1, (v))
#define atomic_dec_return(v) atomic_sub_return(1, (v))
static inline int atomic_sub_and_test(int i, atomic_t *v)
{
	return atomic_sub_return(i, v) == 0;
}
static inline int atomic_dec_and_test(atomic_t *v)
{
	return atomic_sub_return(1, v) == 0;
}
static inline int atomic_inc_and_test(atomic_t *v)
{
	return atomic_add_return(1, v) == 0;
}
static inline int atomic_add_negative(int i, atomic_t *v)
{
	return atomic_add_return(i, v) < 0;
}
/* atomic_cmpxchg arrived with 2.6.15; before it, cmpxchg() on the counter. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,15)
#define atomic_cmpxchg(v, old, nv) ((int)cmpxchg(&((v)->counter), (old), (nv)))
#endif

#endif
