#ifndef _LINUX_INIT_H
#define _LINUX_INIT_H

#include <linux/compiler.h>

typedef int (*initcall_t)(void);
typedef void (*exitcall_t)(void);

/*
 * Entry points the loader calls: init_module at load, cleanup_module at
 * unload.  As in a kernel module build, module_init and module_exit make
 * them aliases of the module's own functions, which therefore need C
 * linkage (an alias names the function's assembler name).
 */
extern "C" int init_module(void);
extern "C" void cleanup_module(void);

#define module_init(initfn) \
	static inline initcall_t __inittest(void) { return initfn; } \
	int init_module(void) __attribute__((alias(#initfn)));
#define module_exit(exitfn) \
	static inline exitcall_t __exittest(void) { return exitfn; } \
	void cleanup_module(void) __attribute__((alias(#exitfn)));

#endif
