// The module loader: a module is a shared object that defines its record
// __this_module and the entry points init_module and cleanup_module.  Each
// load maps the object afresh, so every load starts from fresh statics; an
// unload verifies that the object really left the address space.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/module.h>

#include "fs/vfs.h"
#include "module/module_internal.h"
#include "standin/module.h"

namespace standin::modules {
namespace {

using InitFn = int (*)(void);
using ExitFn = void (*)(void);

struct Loaded {
	std::string name;
	std::string path;
	void *handle = nullptr;
	struct module *mod = nullptr;
	InitFn init = nullptr;
	ExitFn exit = nullptr;
};

// The loaded modules by name, in every state (COMING, LIVE, GOING).  An
// entry is removed only by the insmod or rmmod that owns its transition.
// Protected by modules_lock, which also serialises mapping and unmapping
// objects (so a load never picks up an object that an unload is about to
// drop); it is never held while a module's code runs or while waiting for
// references.  Lock order: modules_lock -> the module reference lock.
std::mutex modules_lock;
std::map<std::string, std::unique_ptr<Loaded>> &modules()
{
	static std::map<std::string, std::unique_ptr<Loaded>> table;
	return table;
}

// Caller holds modules_lock.
Loaded *__find_handle(void *handle)
{
	for (auto &entry : modules())
		if (entry.second->handle == handle)
			return entry.second.get();
	return nullptr;
}

// Is the object at path still mapped?  A loader that keeps it (a unique
// symbol, a thread-local destructor, a nodelete flag) would hand the next
// load the old statics.
bool still_mapped(const std::string &path)
{
	void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
	if (!h)
		return false;
	dlclose(h);
	return true;
}

// Unmaps a module object.  0, or -EBUSY (reported on stderr) when it stays.
// Caller holds modules_lock.
int __unmap(void *handle, const std::string &name, const std::string &path)
{
	dlclose(handle);
	if (!still_mapped(path))
		return 0;
	std::fprintf(stderr, "module %s: %s is still mapped after unload; "
		     "a new load would not get fresh statics\n", name.c_str(), path.c_str());
	return -EBUSY;
}

// Refuses a path whose object is already mapped: the same module again, or
// the leftover of an unload that did not unmap, or not a module at all.
// Caller holds modules_lock.
int __check_not_mapped(const std::string &path)
{
	void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
	if (!h)
		return 0;
	int ret;
	if (__find_handle(h))
		ret = -EEXIST;
	else if (dlsym(h, "__this_module"))
		ret = -EBUSY;
	else
		ret = -ENOEXEC;
	if (ret == -EBUSY)
		std::fprintf(stderr, "insmod %s: a former load is still mapped\n", path.c_str());
	dlclose(h);
	return ret;
}

// Maps the object and finds its record and entry points.  -ENOEXEC for a
// file that is not a module.  Caller holds modules_lock.
int __map_module(const std::string &path, Loaded *m)
{
	m->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
	if (!m->handle) {
		std::fprintf(stderr, "insmod %s: %s\n", path.c_str(), dlerror());
		return -ENOEXEC;
	}
	m->mod = static_cast<struct module *>(dlsym(m->handle, "__this_module"));
	m->init = reinterpret_cast<InitFn>(dlsym(m->handle, "init_module"));
	m->exit = reinterpret_cast<ExitFn>(dlsym(m->handle, "cleanup_module"));
	if (!m->mod || strnlen(m->mod->name, MODULE_NAME_LEN) == 0 ||
	    strnlen(m->mod->name, MODULE_NAME_LEN) == MODULE_NAME_LEN) {
		std::fprintf(stderr, "insmod %s: no module record\n", path.c_str());
		dlclose(m->handle);
		return -ENOEXEC;
	}
	m->name = m->mod->name;
	m->path = path;
	return 0;
}

// Enters a mapped module into the table as COMING; -EEXIST when one of that
// name is loaded.  Caller holds modules_lock.
int __enter_module(std::unique_ptr<Loaded> m)
{
	if (modules().count(m->name))
		return -EEXIST;
	struct module *mod = m->mod;
	mod->state = MODULE_STATE_COMING;
	atomic_set(&mod->refcnt, 0);
	mod->waiter = nullptr;
	mod->standin = m.get();
	modules().emplace(m->name, std::move(m));
	return 0;
}

// Takes a module whose init failed, or whose exit has run, out of the
// kernel: no driver of it stays registered, its entry goes, its object is
// unmapped.  0, or -EBUSY when the object could not be unmapped.
int remove_module(Loaded *m)
{
	standin::vfs::chrdev_forget_owner(m->mod);
	std::lock_guard<std::mutex> guard(modules_lock);
	std::string name = m->name, path = m->path;
	void *handle = m->handle;
	modules().erase(name);
	return __unmap(handle, name, path);
}

// Runs the init of a COMING module.  On failure the module goes: references
// that others took meanwhile (a file opened on a device it registered) are
// waited for before its code is unmapped.
int run_init(Loaded *m)
{
	int ret = m->init ? m->init() : 0;
	if (ret == 0) {
		set_state(m->mod, MODULE_STATE_LIVE);
		return 0;
	}
	set_state(m->mod, MODULE_STATE_GOING);
	wait_for_zero_refs(m->mod);
	remove_module(m);
	return ret < 0 ? ret : -ret;
}

}  // namespace

int insmod(const std::string &path)
{
	if (::access(path.c_str(), R_OK) != 0)
		return -errno;
	Loaded *loaded;
	{
		std::lock_guard<std::mutex> guard(modules_lock);
		int ret = __check_not_mapped(path);
		if (ret)
			return ret;
		auto m = std::make_unique<Loaded>();
		ret = __map_module(path, m.get());
		if (ret)
			return ret;
		loaded = m.get();
		void *handle = m->handle;
		ret = __enter_module(std::move(m));
		if (ret) {
			dlclose(handle);	/* a different object of the same name */
			return ret;
		}
	}
	return run_init(loaded);
}

int rmmod(const std::string &name, bool wait)
{
	Loaded *m;
	{
		std::lock_guard<std::mutex> guard(modules_lock);
		auto it = modules().find(name);
		if (it == modules().end())
			return -ENOENT;
		m = it->second.get();
		if (m->init && !m->exit)
			return -EBUSY;	/* a module without exit stays */
		int ret = begin_unload(m->mod, wait);
		if (ret)
			return ret;
	}
	wait_for_zero_refs(m->mod);
	if (m->exit)
		m->exit();
	return remove_module(m);
}

bool loaded(const std::string &name)
{
	std::lock_guard<std::mutex> guard(modules_lock);
	return modules().count(name) != 0;
}

int refcount(const std::string &name)
{
	std::lock_guard<std::mutex> guard(modules_lock);
	auto it = modules().find(name);
	if (it == modules().end())
		return -1;
	return static_cast<int>(module_refcount(it->second->mod));
}

}  // namespace standin::modules
