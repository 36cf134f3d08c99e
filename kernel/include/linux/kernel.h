#ifndef _LINUX_KERNEL_H
#define _LINUX_KERNEL_H

#include <linux/compiler.h>
#include <linux/types.h>
#include <linux/stddef.h>
#include <asm/bug.h>

#define KERN_EMERG "<0>"
#define KERN_ALERT "<1>"
#define KERN_CRIT "<2>"
#define KERN_ERR "<3>"
#define KERN_WARNING "<4>"
#define KERN_NOTICE "<5>"
#define KERN_INFO "<6>"
#define KERN_DEBUG "<7>"

#ifndef INT_MAX
#define INT_MAX __INT_MAX__
#define INT_MIN (-INT_MAX - 1)
#define UINT_MAX (INT_MAX * 2U + 1U)
#define LONG_MAX __LONG_MAX__
#define ULONG_MAX (LONG_MAX * 2UL + 1UL)
#endif

#define ARRAY_SIZE(x) (sizeof(x) / sizeof((x)[0]))

#define container_of(ptr, type, member) \
	((type *)((char *)(ptr) - offsetof(type, member)))

struct completion;

__KERNEL_BEGIN_DECLS
/*
 * printk: a message starts with its level ("<3>"); lines go to the kernel
 * log ring buffer.  Returns the number of characters written.
 */
int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void dump_stack(void);
NORET_TYPE void panic(const char *fmt, ...) __attribute__((format(printf, 1, 2))) ATTRIB_NORET;

/* Formatting, to the C library's contract. */
int sprintf(char *buf, const char *fmt, ...) __kernel_nothrow __attribute__((format(printf, 2, 3)));
int snprintf(char *buf, size_t size, const char *fmt, ...) __kernel_nothrow __attribute__((format(printf, 3, 4)));
int vsnprintf(char *buf, size_t size, const char *fmt, __builtin_va_list args) __kernel_nothrow;

NORET_TYPE void complete_and_exit(struct completion *comp, long code) ATTRIB_NORET;

/*
 * Debug check: the caller may sleep.  Reports a sleeping call made while a
 * spin lock is held or interrupts are disabled.
 */
void __might_sleep(const char *file, int line);
__KERNEL_END_DECLS

/*
 * A function rather than a macro, so that stand-in code can also name its own
 * standin::lockcheck::might_sleep; the call site still comes from the caller.
 */
static inline void might_sleep(const char *file = __builtin_FILE(), int line = __builtin_LINE())
{
	__might_sleep(file, line);
}
#define might_sleep_if(cond) do { if (cond) might_sleep(); } while (0)

#endif
