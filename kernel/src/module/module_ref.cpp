// Module reference counting.  A reference keeps a module loaded: open files
// of its drivers hold one each (taken through fops->owner), and a module may
// hold more on itself.  Once unloading has begun the module is GOING and
// gives no new references; the unloading task sleeps until the last
// reference is put.
#include <condition_variable>
#include <mutex>

#include "internal.h"

#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/sched.h>

#include "module/module_internal.h"

namespace standin::modules {
namespace {

// Guards every module's state against a concurrent get or put, and carries
// the wake-up of unloading tasks.  A leaf lock: nothing but printk is called
// under it.  The put that reaches zero notifies while holding it, so the
// waiter, which rechecks under it, cannot free the module before that put is
// done with the module's memory.
std::mutex ref_lock;
std::condition_variable ref_zero;

}  // namespace

void set_state(struct module *mod, enum module_state state)
{
	std::lock_guard<std::mutex> guard(ref_lock);
	mod->state = state;
}

int begin_unload(struct module *mod, bool wait)
{
	std::lock_guard<std::mutex> guard(ref_lock);
	if (mod->state != MODULE_STATE_LIVE)
		return -EBUSY;
	if (atomic_read(&mod->refcnt) != 0 && !wait)
		return -EBUSY;
	mod->state = MODULE_STATE_GOING;
	mod->waiter = current;
	return 0;
}

void wait_for_zero_refs(struct module *mod)
{
	(standin::lockcheck::might_sleep)("rmmod", STANDIN_CALLER);
	std::unique_lock<std::mutex> guard(ref_lock);
	ref_zero.wait(guard, [mod] { return atomic_read(&mod->refcnt) <= 0; });
	mod->waiter = nullptr;
}

}  // namespace standin::modules

using namespace standin::modules;

extern "C" int try_module_get(struct module *module)
{
	if (!module)
		return 1;
	std::lock_guard<std::mutex> guard(ref_lock);
	if (module->state == MODULE_STATE_GOING)
		return 0;
	atomic_inc(&module->refcnt);
	return 1;
}
EXPORT_SYMBOL(try_module_get);

extern "C" void __module_get(struct module *module)
{
	if (!module)
		return;
	std::lock_guard<std::mutex> guard(ref_lock);
	atomic_inc(&module->refcnt);
}
EXPORT_SYMBOL(__module_get);

extern "C" void module_put(struct module *module)
{
	if (!module)
		return;
	std::lock_guard<std::mutex> guard(ref_lock);
	int left = atomic_dec_return(&module->refcnt);
	if (left < 0)
		printk(KERN_ERR "%s: module %s: reference count below zero (%d)\n",
		       "module_put", module->name, left);
	if (left <= 0 && module->state == MODULE_STATE_GOING)
		ref_zero.notify_all();
}
EXPORT_SYMBOL(module_put);

extern "C" unsigned int module_refcount(struct module *mod)
{
	return static_cast<unsigned int>(atomic_read(&mod->refcnt));
}
EXPORT_SYMBOL(module_refcount);
