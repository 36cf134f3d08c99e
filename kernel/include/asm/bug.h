#ifndef _ASM_BUG_H
#define _ASM_BUG_H

#include <linux/compiler.h>

/*
 * BUG() stops the kernel with the site logged ("kernel BUG at file:line!");
 * the stand-in ends it in panic(), which stops the run.  WARN_ON logs the
 * site and a stack trace, then goes on, as asm-generic/bug.h does.  Both
 * are used after <linux/kernel.h>, which declares panic, printk and
 * dump_stack.
 */
#define BUG() panic("kernel BUG at %s:%d!", __FILE__, __LINE__)
#define BUG_ON(condition) do { if (unlikely((condition) != 0)) BUG(); } while (0)
#define WARN_ON(condition) \
	do { \
		if (unlikely((condition) != 0)) { \
			printk("BUG: warning at %s:%d/%s()\n", __FILE__, __LINE__, __FUNCTION__); \
			dump_stack(); \
		} \
	} while (0)

#endif
