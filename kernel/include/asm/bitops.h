#ifndef _ASM_BITOPS_H
#define _ASM_BITOPS_H

#include <linux/compiler.h>

/*
 * Bit operations on arrays of unsigned long.  Bit nr lives in word nr / 64,
 * bit nr % 64; on this little-endian machine that is bit nr % 8 of byte nr / 8.
 * The plain forms are atomic; the __ forms are not.
 */
#define BITS_PER_LONG 64

static inline void set_bit(int nr, volatile unsigned long *addr)
{
	__atomic_fetch_or(&addr[nr / BITS_PER_LONG], 1UL << (nr % BITS_PER_LONG), __ATOMIC_SEQ_CST);
}
static inline void clear_bit(int nr, volatile unsigned long *addr)
{
	__atomic_fetch_and(&addr[nr / BITS_PER_LONG], ~(1UL << (nr % BITS_PER_LONG)), __ATOMIC_SEQ_CST);
}
static inline void change_bit(int nr, volatile unsigned long *addr)
{
	__atomic_fetch_xor(&addr[nr / BITS_PER_LONG], 1UL << (nr % BITS_PER_LONG), __ATOMIC_SEQ_CST);
}
static inline int test_and_set_bit(int nr, volatile unsigned long *addr)
{
	unsigned long mask = 1UL << (nr % BITS_PER_LONG);
	return (__atomic_fetch_or(&addr[nr / BITS_PER_LONG], mask, __ATOMIC_SEQ_CST) & mask) != 0;
}
static inline int test_and_clear_bit(int nr, volatile unsigned long *addr)
{
	unsigned long mask = 1UL << (nr % BITS_PER_LONG);
	return (__atomic_fetch_and(&addr[nr / BITS_PER_LONG], ~mask, __ATOMIC_SEQ_CST) & mask) != 0;
}
static inline int test_bit(int nr, const volatile unsigned long *addr)
{
	return (__atomic_load_n(&addr[nr / BITS_PER_LONG], __ATOMIC_RELAXED) >> (nr % BITS_PER_LONG)) & 1UL;
}
static inline void __set_bit(int nr, volatile unsigned long *addr)
{
	addr[nr / BITS_PER_LONG] = addr[nr / BITS_PER_LONG] | (1UL << (nr % BITS_PER_LONG));
}
static inline void __clear_bit(int nr, volatile unsigned long *addr)
{
	addr[nr / BITS_PER_LONG] = addr[nr / BITS_PER_LONG] & ~(1UL << (nr % BITS_PER_LONG));
}
/* Index of the lowest set bit; undefined for 0. */
static inline unsigned long __ffs(unsigned long word)
{
	return __builtin_ctzl(word);
}
/*
 * 1-based index of the lowest set bit, 0 for 0.  Hosted builds (stand-in,
 * tests) see the C library's ffs through <string.h>; declare it the same way
 * there so that both declarations agree.
 */
#if __has_include(<stdlib.h>)
__KERNEL_BEGIN_DECLS
int ffs(int x) __kernel_nothrow;
__KERNEL_END_DECLS
#else
static inline int ffs(int x)
{
	return __builtin_ffs(x);
}
#endif
/* 1-based index of the highest set bit, 0 for 0. */
static inline int fls(int x)
{
	return x ? 32 - __builtin_clz((unsigned int)x) : 0;
}

#endif
