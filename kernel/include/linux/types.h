#ifndef _LINUX_TYPES_H
#define _LINUX_TYPES_H

#include <linux/compiler.h>

typedef unsigned char __u8;
typedef signed char __s8;
typedef unsigned short __u16;
typedef signed short __s16;
typedef unsigned int __u32;
typedef signed int __s32;
typedef unsigned long long __u64;
typedef signed long long __s64;

typedef __u8 u8;
typedef __s8 s8;
typedef __u16 u16;
typedef __s16 s16;
typedef __u32 u32;
typedef __s32 s32;
typedef __u64 u64;
typedef __s64 s64;

/*
 * Types that the C library also defines are given the C library's exact
 * definition so that both may be visible in one translation unit (stand-in
 * sources and white-box tests include user-space headers first).
 */
typedef unsigned long size_t;
typedef long ssize_t;
typedef long loff_t;
typedef int pid_t;
typedef long time_t;
typedef unsigned int mode_t;
typedef unsigned int uid_t;
typedef unsigned int gid_t;
typedef unsigned short umode_t;
typedef unsigned int gfp_t;
typedef u64 sector_t;
typedef unsigned long uintptr_t;

/*
 * The kernel's dev_t is 32 bits (major << 20 | minor); the C library's is 64.
 * Where a user-space header already declared its own, the kernel one is
 * renamed for the rest of the translation unit.
 */
#ifdef __dev_t_defined
#define dev_t __kernel_dev_t
#endif
typedef u32 dev_t;

#ifndef NULL
#define NULL __null
#endif

#ifndef offsetof
#define offsetof(TYPE, MEMBER) __builtin_offsetof (TYPE, MEMBER)
#endif

struct list_head {
	struct list_head *next, *prev;
};

#endif
