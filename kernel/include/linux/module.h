#ifndef _LINUX_MODULE_H
#define _LINUX_MODULE_H

#include <linux/types.h>
#include <linux/init.h>
#include <linux/kernel.h>
#include <asm/atomic.h>

enum module_state {
	MODULE_STATE_LIVE,
	MODULE_STATE_COMING,
	MODULE_STATE_GOING,
};

#define MODULE_NAME_LEN 60

/*
 * A loaded module.  Every module has its own record, __this_module, which
 * the build generates (NAME.mod.cpp, as a kernel build generates NAME.mod.c);
 * the loader fills in the state and the reference count.  While references are
 * held the module cannot be unloaded; once unloading has begun
 * (MODULE_STATE_GOING) no new reference is given.
 */
struct module {
	enum module_state state;
	char name[MODULE_NAME_LEN];
	atomic_t refcnt;
	struct task_struct *waiter;	/* the unloading task, woken by the last put */
	void *standin;			/* the loader's private data */
};

__KERNEL_BEGIN_DECLS
extern struct module __this_module;
int try_module_get(struct module *module);
void __module_get(struct module *module);
void module_put(struct module *module);
unsigned int module_refcount(struct module *mod);
__KERNEL_END_DECLS

#define THIS_MODULE (&__this_module)

#define __MODULE_INFO(tag, name, info) \
	static const char __module_##name[] __attribute__((section(".modinfo"), used)) = #tag "=" info
#define MODULE_LICENSE(_license) __MODULE_INFO(license, license, _license)
#define MODULE_AUTHOR(_author) __MODULE_INFO(author, author, _author)
#define MODULE_DESCRIPTION(d) __MODULE_INFO(description, description, d)
#define MODULE_VERSION(v) __MODULE_INFO(version, version, v)

#define EXPORT_SYMBOL(sym)
#define EXPORT_SYMBOL_GPL(sym)

#endif
