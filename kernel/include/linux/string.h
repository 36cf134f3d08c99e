#ifndef _LINUX_STRING_H
#define _LINUX_STRING_H

#include <linux/types.h>

/*
 * The string functions a kernel has of its own.  The stand-in takes them from
 * the C library, which implements them to the same contract.
 */
__KERNEL_BEGIN_DECLS
void *memcpy(void *dest, const void *src, size_t n) __kernel_nothrow;
void *memmove(void *dest, const void *src, size_t n) __kernel_nothrow;
void *memset(void *s, int c, size_t n) __kernel_nothrow;
int memcmp(const void *a, const void *b, size_t n) __kernel_nothrow;
size_t strlen(const char *s) __kernel_nothrow;
size_t strnlen(const char *s, size_t maxlen) __kernel_nothrow;
int strcmp(const char *a, const char *b) __kernel_nothrow;
int strncmp(const char *a, const char *b, size_t n) __kernel_nothrow;
char *strcpy(char *dest, const char *src) __kernel_nothrow;
char *strncpy(char *dest, const char *src, size_t n) __kernel_nothrow;
__KERNEL_END_DECLS

#endif
