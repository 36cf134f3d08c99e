/*
 * A module that wrongly depends on the C library and the C++ runtime: the
 * symbol check must refuse it.  It is never loaded.
 */
#include <linux/kernel.h>
#include <linux/module.h>

extern "C" void *malloc(unsigned long size);

extern "C" int luInit(void)
{
	int *counter = new int(1);
	void *buffer = malloc(64);
	printk(KERN_INFO "libc_user: %p %p\n", counter, buffer);
	return 0;
}

module_init(luInit);
