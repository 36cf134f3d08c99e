// The lock validator: sleeping in atomic context, lock-order inversions
// between lock classes, and unlocks of locks not held.
//
// Lock classes are lockdep_map names.  The graph holds an edge a -> b when a
// lock of class b was taken while one of class a was held, with the stack of
// the first time.  A semaphore may turn out to be a counter (released by a
// task that did not take it), so the edges a held semaphore contributes wait
// on its held record until the same task releases it; only then do they join
// the graph.  A counter class contributes no edges at all.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "internal.h"
#include "lib/symbols.h"
#include "standin/lockcheck.h"

#include <linux/lockdep.h>

#include "locking/lockcheck_hooks.h"
#include "sched/task.h"

namespace standin::lockcheck {

struct EdgeInfo {
  const void* site_from = nullptr;  // where the held lock was taken
  const void* site_to = nullptr;    // where the new one was taken
  std::vector<void*> stack;
};

struct PendingEdge {
  int from, to;
  EdgeInfo info;
};

struct Held {
  const void* lock;
  int cls;
  LockType type;
  const void* site;
  std::vector<PendingEdge> pending;  // semaphores only
};

namespace {

struct ClassInfo {
  std::string name;
  bool counter = false;
};

// All state, protected by mu.
struct State {
  std::mutex mu;
  std::unordered_map<std::string, int> ids;
  std::unordered_map<const char*, int> by_pointer;
  std::vector<ClassInfo> classes;
  std::vector<std::map<int, EdgeInfo>> out;  // committed edges
  std::set<std::pair<int, int>> reported_pairs;
  std::set<std::pair<const void*, std::string>> reported_sleeps;
  std::multimap<const void*, kern::Task*> sem_holders;
  std::vector<Violation> violations;
  std::vector<Held*> spare;  // released held records, reused by acquire
  bool fatal = false;
};

State& state() {
  static State* s = new State;  // never destroyed: threads may run at exit
  return *s;
}

int __intern(State& s, const struct lockdep_map* map) {
  const char* ptr = (map && map->name) ? map->name : "(unnamed lock)";
  // Most names are string literals: look the pointer up first, and check the
  // text, since an unloaded module's address may come back with other text.
  auto hit = s.by_pointer.find(ptr);
  if (hit != s.by_pointer.end() && s.classes[hit->second].name == ptr) return hit->second;
  std::string name = ptr;
  auto [it, fresh] = s.ids.emplace(name, static_cast<int>(s.classes.size()));
  if (fresh) {
    s.classes.push_back(ClassInfo{name});
    s.out.emplace_back();
  }
  s.by_pointer[ptr] = it->second;
  return it->second;
}

const char* type_name(LockType t) {
  switch (t) {
    case LockType::spin: return "spin lock";
    case LockType::mutex: return "mutex";
    case LockType::rwsem: return "rw semaphore";
    case LockType::sem: return "semaphore";
  }
  return "lock";
}

void __record(State& s, const char* kind, std::string report) {
  std::fprintf(stderr, "lock check: %s\n%s\n", kind, report.c_str());
  s.violations.push_back(Violation{kind, std::move(report)});
  if (s.fatal) std::abort();
}

// Path of classes from -> ... -> to over committed edges (empty: none).
std::vector<int> __find_path(State& s, int from, int to) {
  std::vector<int> parent(s.classes.size(), -1);
  std::vector<int> stack{from};
  parent[from] = from;
  while (!stack.empty()) {
    int c = stack.back();
    stack.pop_back();
    if (c == to) {
      std::vector<int> path{to};
      while (path.back() != from) path.push_back(parent[path.back()]);
      std::reverse(path.begin(), path.end());
      return path;
    }
    for (auto& [next, info] : s.out[c])
      if (parent[next] < 0) {
        parent[next] = c;
        stack.push_back(next);
      }
  }
  return {};
}

std::string describe_edge(State& s, int from, int to, const EdgeInfo& e) {
  std::string r = "  '" + s.classes[to].name + "' taken at " + sym::describe(e.site_to) +
                  "\n  while holding '" + s.classes[from].name + "' taken at " +
                  sym::describe(e.site_from) + "\n  stack:\n" + sym::format(e.stack, "    ");
  return r;
}

void __report_inversion(State& s, int a, int b, const EdgeInfo& info,
                        const std::vector<int>& path) {
  auto key = std::minmax(a, b);
  if (!s.reported_pairs.insert(key).second) return;
  std::string r = "lock order inversion between '" + s.classes[a].name + "' and '" +
                  s.classes[b].name + "'\nnew order: '" + s.classes[a].name + "' -> '" +
                  s.classes[b].name + "'\n" + describe_edge(s, a, b, info) +
                  "earlier order: ";
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (i) r += " -> ";
    r += "'" + s.classes[path[i]].name + "'";
  }
  r += "\n";
  for (std::size_t i = 0; i + 1 < path.size(); ++i)
    r += describe_edge(s, path[i], path[i + 1], s.out[path[i]].at(path[i + 1]));
  __record(s, "lock-inversion", std::move(r));
}

void __commit(State& s, int a, int b, EdgeInfo info) {
  if (a == b || s.classes[a].counter || s.classes[b].counter) return;
  if (s.out[a].count(b)) return;
  std::vector<int> path = __find_path(s, b, a);
  if (!path.empty()) __report_inversion(s, a, b, info, path);
  s.out[a].emplace(b, std::move(info));
}

Held* __held_sem_of_class(kern::Task* t, int cls) {
  for (Held* h : t->held)
    if (h->type == LockType::sem && h->cls == cls) return h;
  return nullptr;
}

bool __has_pending(const Held* h, int a, int b) {
  for (const auto& p : h->pending)
    if (p.from == a && p.to == b) return true;
  return false;
}

// Order "held -> taken" seen now.
void __add_edge(State& s, Held* held, Held* taken) {
  int a = held->cls, b = taken->cls;
  if (a == b || s.classes[a].counter || s.classes[b].counter) return;
  if (s.out[a].count(b)) return;
  Held* sem = taken->type == LockType::sem ? taken : (held->type == LockType::sem ? held : nullptr);
  if (sem && __has_pending(sem, a, b)) return;
  EdgeInfo info{held->site, taken->site, sym::capture_caller()};
  if (sem)
    sem->pending.push_back(PendingEdge{a, b, std::move(info)});
  else
    __commit(s, a, b, std::move(info));
}

// A semaphore released by the task that took it behaved as a lock: its
// edges join the graph, or wait on another semaphore still held.
void __resolve_as_lock(State& s, kern::Task* t, Held* h) {
  for (auto& p : h->pending) {
    int other = p.from == h->cls ? p.to : p.from;
    Held* wait_on = __held_sem_of_class(t, other);
    if (wait_on && wait_on != h) {
      if (!__has_pending(wait_on, p.from, p.to)) wait_on->pending.push_back(std::move(p));
      continue;
    }
    __commit(s, p.from, p.to, std::move(p.info));
  }
  h->pending.clear();
}

void __forget_holder(State& s, const void* lock, kern::Task* t) {
  auto range = s.sem_holders.equal_range(lock);
  for (auto it = range.first; it != range.second; ++it)
    if (it->second == t) {
      s.sem_holders.erase(it);
      return;
    }
}

// Held records are kept for reuse: a lock taken and given back in a loop
// (a table scanned slot by slot) costs no allocation.
constexpr std::size_t kMaxSpare = 256;

Held* __new_held(State& s, const void* lock, int cls, LockType type, const void* site) {
  if (s.spare.empty()) return new Held{lock, cls, type, site, {}};
  Held* h = s.spare.back();
  s.spare.pop_back();
  h->lock = lock;
  h->cls = cls;
  h->type = type;
  h->site = site;
  return h;
}

void __free_held(State& s, Held* h) {
  if (s.spare.size() >= kMaxSpare) {
    delete h;
    return;
  }
  h->pending.clear();
  s.spare.push_back(h);
}

void __drop_held(State& s, kern::Task* t, Held* h) {
  t->held.erase(std::find(t->held.begin(), t->held.end(), h));
  __free_held(s, h);
}

// A semaphore released by a task that does not hold it is a counter: it
// leaves every holder's list and its class leaves the graph for good.
void __make_counter(State& s, const void* lock, int cls) {
  s.classes[cls].counter = true;
  for (auto& edges : s.out) edges.erase(cls);
  s.out[cls].clear();
  auto range = s.sem_holders.equal_range(lock);
  std::vector<kern::Task*> holders;
  for (auto it = range.first; it != range.second; ++it) holders.push_back(it->second);
  s.sem_holders.erase(range.first, range.second);
  for (kern::Task* t : holders) {
    for (std::size_t i = t->held.size(); i-- > 0;) {
      Held* h = t->held[i];
      if (h->lock == lock) __drop_held(s, t, h);
    }
  }
}

// Off only for benchmarks, before the first lock is taken (as a kernel
// built without lock proving): every hook returns at once.  CG_LOCKCHECK=0
// in the environment turns it off from the start.
bool enabled_by_env() {
  const char* env = std::getenv("CG_LOCKCHECK");
  return !(env && std::string(env) == "0");
}
std::atomic<bool> g_enabled{enabled_by_env()};

bool enabled() { return g_enabled.load(std::memory_order_relaxed); }

}  // namespace

bool acquire(const void* lock, const struct lockdep_map* map, LockType type, const void* site,
             bool trylock) {
  if (!enabled()) return true;
  kern::Task* t = kern::self();
  State& s = state();
  std::lock_guard lk(s.mu);
  bool recursive = false;
  for (Held* h : t->held)
    if (h->lock == lock) recursive = true;
  int cls = __intern(s, map);
  if (type == LockType::sem && s.classes[cls].counter) return !recursive;
  Held* h = __new_held(s, lock, cls, type, site);
  if (!trylock)
    for (Held* held : t->held) __add_edge(s, held, h);
  t->held.push_back(h);
  if (type == LockType::sem) s.sem_holders.emplace(lock, t);
  return !recursive;
}

void acquire_failed(const void* lock) {
  if (!enabled()) return;
  kern::Task* t = kern::self();
  State& s = state();
  std::lock_guard lk(s.mu);
  for (std::size_t i = t->held.size(); i-- > 0;) {
    Held* h = t->held[i];
    if (h->lock != lock) continue;
    if (h->type == LockType::sem) __forget_holder(s, lock, t);
    __drop_held(s, t, h);
    return;
  }
}

void release(const void* lock, const struct lockdep_map* map, LockType type, const void* site) {
  if (!enabled()) return;
  kern::Task* t = kern::self();
  State& s = state();
  std::lock_guard lk(s.mu);
  for (std::size_t i = t->held.size(); i-- > 0;) {
    Held* h = t->held[i];
    if (h->lock != lock) continue;
    if (h->type == LockType::sem) {
      __resolve_as_lock(s, t, h);
      __forget_holder(s, lock, t);
    }
    __drop_held(s, t, h);
    return;
  }
  int cls = __intern(s, map);
  if (type == LockType::sem) {
    if (!s.classes[cls].counter) __make_counter(s, lock, cls);
    return;
  }
  if (type == LockType::rwsem) return;
  std::string r = std::string(type_name(type)) + " '" + s.classes[cls].name +
                  "' released at " + sym::describe(site) + " by task " +
                  std::to_string(t->ts.pid) + " (" + t->ts.comm +
                  ") which does not hold it\n  stack:\n" + sym::format(sym::capture_caller());
  __record(s, "bad-unlock", std::move(r));
}

void return_to_user() {
  if (!enabled()) return;
  kern::Task* t = kern::self();
  State& s = state();
  std::lock_guard lk(s.mu);
  for (bool again = true; again;) {
    again = false;
    for (Held* h : t->held)
      if (h->type == LockType::sem && !s.classes[h->cls].counter) {
        __make_counter(s, h->lock, h->cls);  // drops h
        again = true;
        break;
      }
  }
}

void task_exit(kern::Task* t) {
  State& s = state();
  std::lock_guard lk(s.mu);
  for (Held* h : t->held) {
    if (h->type == LockType::sem) __forget_holder(s, h->lock, t);
    __free_held(s, h);
  }
  t->held.clear();
}

void might_sleep(const char* primitive, const void* caller) {
  if (!enabled()) return;
  kern::Task* t = kern::self();
  if (!t->atomic()) return;
  auto stack = sym::capture_caller();
  if (!caller) {
    for (void* f : stack)
      if (!sym::in_standin(f)) {
        caller = f;
        break;
      }
  }
  State& s = state();
  std::lock_guard lk(s.mu);
  if (!s.reported_sleeps.emplace(caller, primitive).second) return;
  std::string r = std::string("sleeping call ") + primitive + " from " + sym::describe(caller) +
                  " in atomic context (task " + std::to_string(t->ts.pid) + " " + t->ts.comm +
                  ")\n";
  for (Held* h : t->held)
    if (h->type == LockType::spin)
      r += "  holding spin lock '" + s.classes[h->cls].name + "' taken at " +
           sym::describe(h->site) + "\n";
  if (t->irqs_off) r += "  interrupts disabled at " + sym::describe(t->irqs_off_site) + "\n";
  if (t->irq_depth > 0) r += "  in interrupt context\n";
  r += "  stack:\n" + sym::format(stack);
  __record(s, "sleep-in-atomic", std::move(r));
}

std::vector<Violation> take() {
  State& s = state();
  std::lock_guard lk(s.mu);
  std::vector<Violation> out;
  out.swap(s.violations);
  s.reported_sleeps.clear();
  s.reported_pairs.clear();
  return out;
}

void set_enabled(bool on) { g_enabled.store(on, std::memory_order_relaxed); }

void set_fatal(bool fatal) {
  State& s = state();
  std::lock_guard lk(s.mu);
  s.fatal = fatal;
}

}  // namespace standin::lockcheck
