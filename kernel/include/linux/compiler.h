/*
 * Compiler annotations of the kernel headers.  The stand-in kernel is built
 * with GCC in C++ mode; the module is built freestanding against these
 * headers only.
 */
#ifndef _LINUX_COMPILER_H
#define _LINUX_COMPILER_H

#define __user
#define __kernel
#define __iomem
#define __force
#define __nocast
#define __bitwise
#define __must_check __attribute__((warn_unused_result))
#ifndef __attribute_used__
#define __attribute_used__ __attribute__((__used__))
#endif
#ifndef __always_inline
#define __always_inline inline __attribute__((always_inline))
#endif
#define noinline __attribute__((noinline))
#define asmlinkage extern "C"
#define fastcall
#define NORET_TYPE
#define ATTRIB_NORET __attribute__((noreturn))
/*
 * Section markers, for the module build only (no C library on its include
 * path).  System headers reach these kernel headers too (<sys/stat.h> includes
 * <linux/types.h>), and the C++ library uses __init as a plain identifier.
 */
#if !__has_include(<stdlib.h>)
#define __init
#define __exit
#define __devinit
#endif
#define __read_mostly

#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)

/* Keeps the compiler from moving memory accesses across it. */
#define barrier() __asm__ __volatile__("" ::: "memory")

#define __stringify_1(x) #x
#define __stringify(x) __stringify_1(x)

/* Everything the kernel exports has C linkage. */
#define __KERNEL_BEGIN_DECLS extern "C" {
#define __KERNEL_END_DECLS }

/*
 * The user-space C library declares the string and formatting functions as
 * noexcept when compiled as C++; the kernel's declarations must agree so that
 * stand-in code and white-box tests can see both.
 */
#define __kernel_nothrow noexcept

#endif
