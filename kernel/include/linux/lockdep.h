#ifndef _LINUX_LOCKDEP_H
#define _LINUX_LOCKDEP_H

#include <linux/compiler.h>

/*
 * Lock class of a lock for the stand-in's lock checks.  Locks initialised at
 * the same place share a class, as in the kernel's lock validator; a
 * statically defined lock is its own class.  The name reads
 * "lock-expression (file:line)".
 */
struct lockdep_map {
	const char *name;
};

#define __standin_lock_name(expr) expr " (" __FILE__ ":" __stringify(__LINE__) ")"
#define __standin_lock_map_init(expr) { __standin_lock_name(expr) }

#endif
