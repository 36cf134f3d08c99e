/*
 * The module record of cowguard, as a kernel build generates it for every
 * module.  The loader fills in the state and the reference count; the
 * record's address is THIS_MODULE.
 */
#include <linux/module.h>

struct module __this_module __attribute__((section(".gnu.linkonce.this_module"))) = {
	.state = MODULE_STATE_LIVE,
	.name = "cowguard",
	.refcnt = ATOMIC_INIT(0),
	.waiter = NULL,
	.standin = NULL,
};

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("cowguard: live snapshots with copy-before-write and changed-block tracking");
MODULE_VERSION("3.1.0");
