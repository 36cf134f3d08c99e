// Loading and unloading kernel modules built as shared objects.
#pragma once
#include <string>

namespace standin::modules {

// Loads the module at path and runs its init: 0, or a negative errno (the
// init's own non-zero result, -ENOEXEC for a file that is not a module,
// -EEXIST when a module of that name is loaded).  Each load gets fresh statics.
int insmod(const std::string& path);
// Unloads a module by name: refuses with -EBUSY while references are held
// (wait = false), or marks it going and waits for the last reference
// (wait = true); -ENOENT when no such module is loaded.  Runs its exit.
int rmmod(const std::string& name, bool wait = false);
bool loaded(const std::string& name);
// References held on the module (-1 when not loaded).
int refcount(const std::string& name);

}  // namespace standin::modules
