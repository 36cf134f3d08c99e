// Internal interface between the module loader and module reference
// counting.  Include after the standard headers.
#pragma once
#include <linux/module.h>

namespace standin::modules {

// The module's state, set under the reference lock so that try_module_get
// sees either the old or the new state, never a get that slips past GOING.
void set_state(struct module *mod, enum module_state state);

// Starts an unload: a LIVE module becomes GOING and records the unloading
// task as its waiter.  -EBUSY when the module is not LIVE, or when
// references are held and the caller does not want to wait.
int begin_unload(struct module *mod, bool wait);

// Sleeps until a GOING module's last reference is gone (module_put wakes
// the waiter).  No new reference can be taken meanwhile.
void wait_for_zero_refs(struct module *mod);

}  // namespace standin::modules
