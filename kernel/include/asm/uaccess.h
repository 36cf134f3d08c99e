#ifndef _ASM_UACCESS_H
#define _ASM_UACCESS_H

#include <linux/types.h>
#include <linux/errno.h>

/*
 * Copies between kernel memory and the calling process's user addresses.
 * Unreadable or unwritable user addresses are detected, never dereferenced:
 * copy_from_user/copy_to_user return the number of bytes NOT copied (the
 * uncopied tail of a copy_from_user is zeroed); get_user/put_user return 0 or
 * -EFAULT.  All of them may sleep: a user page may have to be faulted in,
 * which takes the process's mmap semaphore for reading.
 *
 * get_user and put_user go through x86_64's exported __get_user_N and
 * __put_user_N for an object of N bytes (1, 2, 4 or 8); any other size does
 * not link (__get_user_bad, __put_user_bad), as in the kernel.
 */
__KERNEL_BEGIN_DECLS
unsigned long copy_from_user(void *to, const void __user *from, unsigned long n);
unsigned long copy_to_user(void __user *to, const void *from, unsigned long n);
int __get_user_1(void *kval, const void __user *uaddr);
int __get_user_2(void *kval, const void __user *uaddr);
int __get_user_4(void *kval, const void __user *uaddr);
int __get_user_8(void *kval, const void __user *uaddr);
int __put_user_1(const void *kval, void __user *uaddr);
int __put_user_2(const void *kval, void __user *uaddr);
int __put_user_4(const void *kval, void __user *uaddr);
int __put_user_8(const void *kval, void __user *uaddr);
int __get_user_bad(void);
int __put_user_bad(void);
__KERNEL_END_DECLS

#define VERIFY_READ 0
#define VERIFY_WRITE 1

/* Highest user address + 1 (x86_64, 4-level paging). */
#define __standin_user_limit (0x800000000000UL - 4096)

/* Whether [addr, addr + size) lies below the user limit; says nothing of mappings. */
#define access_ok(type, addr, size) \
	((unsigned long)(addr) <= __standin_user_limit && (unsigned long)(size) <= __standin_user_limit - (unsigned long)(addr))

#define get_user(x, ptr) \
	({ __typeof__(*(ptr)) __gu_val = 0; \
	   int __gu_err; \
	   switch (sizeof(*(ptr))) { \
	   case 1: __gu_err = __get_user_1(&__gu_val, (ptr)); break; \
	   case 2: __gu_err = __get_user_2(&__gu_val, (ptr)); break; \
	   case 4: __gu_err = __get_user_4(&__gu_val, (ptr)); break; \
	   case 8: __gu_err = __get_user_8(&__gu_val, (ptr)); break; \
	   default: __gu_err = __get_user_bad(); break; \
	   } \
	   (x) = __gu_val; __gu_err; })
#define put_user(x, ptr) \
	({ __typeof__(*(ptr)) __pu_val = (x); \
	   int __pu_err; \
	   switch (sizeof(*(ptr))) { \
	   case 1: __pu_err = __put_user_1(&__pu_val, (ptr)); break; \
	   case 2: __pu_err = __put_user_2(&__pu_val, (ptr)); break; \
	   case 4: __pu_err = __put_user_4(&__pu_val, (ptr)); break; \
	   case 8: __pu_err = __put_user_8(&__pu_val, (ptr)); break; \
	   default: __pu_err = __put_user_bad(); break; \
	   } \
	   __pu_err; })

#endif
