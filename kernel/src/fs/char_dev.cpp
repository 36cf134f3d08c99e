// Character device registry: which driver serves which major number.
#include <map>
#include <mutex>
#include <string>

#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/module.h>

#include "fs/vfs.h"

namespace standin::vfs {
namespace {

struct Chrdev {
	std::string name;
	const struct file_operations *fops;
};

// Protected by registry_lock.  Lock order: registry_lock -> the module
// reference lock (chrdev_get takes a module reference under it).
std::mutex registry_lock;
std::map<unsigned, Chrdev> &registry()
{
	static std::map<unsigned, Chrdev> majors;
	return majors;
}

// Highest free major below kDynamicMajors, as the kernel hands them out;
// 0 when all are taken.  Caller holds registry_lock.
unsigned __free_dynamic_major()
{
	for (unsigned major = kDynamicMajors - 1; major > 0; major--)
		if (!registry().count(major))
			return major;
	return 0;
}

}  // namespace

int chrdev_get(dev_t dev, ChrdevRef *out)
{
	std::lock_guard<std::mutex> guard(registry_lock);
	auto it = registry().find(MAJOR(dev));
	if (it == registry().end() || MINOR(dev) >= kChrdevMinors)
		return -ENXIO;
	const struct file_operations *fops = it->second.fops;
	if (!try_module_get(fops->owner))
		return -ENXIO;
	out->fops = fops;
	out->name = it->second.name;
	return 0;
}

int chrdev_forget_owner(struct module *mod)
{
	std::lock_guard<std::mutex> guard(registry_lock);
	int dropped = 0;
	for (auto it = registry().begin(); it != registry().end();) {
		if (mod && it->second.fops->owner == mod) {
			printk(KERN_ERR "%s: module %s left char device %u (%s) registered; dropped\n",
			       "unregister_chrdev", mod->name, it->first, it->second.name.c_str());
			it = registry().erase(it);
			dropped++;
		} else {
			++it;
		}
	}
	return dropped;
}

}  // namespace standin::vfs

using namespace standin::vfs;

extern "C" int register_chrdev(unsigned int major, const char *name,
			       const struct file_operations *fops)
{
	if (!name || !fops || major > kMaxMajor)
		return -EINVAL;
	std::lock_guard<std::mutex> guard(registry_lock);
	int ret = 0;
	if (major == 0) {
		major = __free_dynamic_major();
		if (major == 0)
			return -EBUSY;
		ret = static_cast<int>(major);
	} else if (registry().count(major)) {
		return -EBUSY;
	}
	registry().emplace(major, Chrdev{name, fops});
	return ret;
}
EXPORT_SYMBOL(register_chrdev);

extern "C" int unregister_chrdev(unsigned int major, const char *name)
{
	std::lock_guard<std::mutex> guard(registry_lock);
	auto it = registry().find(major);
	if (it == registry().end() || !name || it->second.name != name)
		return -EINVAL;
	registry().erase(it);
	return 0;
}
EXPORT_SYMBOL(unregister_chrdev);
