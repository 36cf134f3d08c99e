#ifndef _ASM_UACCESS_H
#define _ASM_UACCESS_H

#include <linux/types.h>
#include <linux/errno.h>

/*
 * Copies between kernel memory and the calling process's user addresses.
 * Unreadable or unwritable user addresses are detected, never dereferenced:
 * copy_from_user/copy_to_user return the number of bytes NOT copied (the
 * uncopied tail of a copy_from_user is zeroed); get_user/put_user return 0 or
 * -EFAULT.  All of them may sleep.
 */
__KERNEL_BEGIN_DECLS
unsigned long copy_from_user(void *to, const void __user *from, unsigned long n);
unsigned long copy_to_user(void __user *to, const void *from, unsigned long n);
int __get_user_n(void *kval, const void __user *uaddr, unsigned long size);
int __put_user_n(const void *kval, void __user *uaddr, unsigned long size);
int access_ok_range(int type, const void __user *addr, unsigned long size);
__KERNEL_END_DECLS

#define VERIFY_READ 0
#define VERIFY_WRITE 1
#define access_ok(type, addr, size) access_ok_range((type), (addr), (size))

#define get_user(x, ptr) \
	({ __typeof__(*(ptr)) __gu_val = 0; \
	   int __gu_err = __get_user_n(&__gu_val, (ptr), sizeof(*(ptr))); \
	   (x) = __gu_val; __gu_err; })
#define put_user(x, ptr) \
	({ __typeof__(*(ptr)) __pu_val = (x); \
	   __put_user_n(&__pu_val, (ptr), sizeof(*(ptr))); })

#endif
