// Accounting of everything the kernel hands out, and the leak report.
#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "internal.h"
#include "lib/symbols.h"
#include "standin/memory.h"

namespace standin::mem {
namespace {

constexpr int kKinds = static_cast<int>(Kind::count_);

struct Record {
  long bytes;
  const void* caller;
  unsigned long long serial;
};

struct ObjKey {
  int kind;
  const void* obj;
  bool operator==(const ObjKey& o) const { return kind == o.kind && obj == o.obj; }
};

struct ObjKeyHash {
  std::size_t operator()(const ObjKey& k) const {
    return std::hash<const void*>()(k.obj) * 31 + static_cast<std::size_t>(k.kind);
  }
};

// Protected by mu.
struct Books {
  std::mutex mu;
  Usage now;
  unsigned long long serial = 0;
  std::unordered_map<ObjKey, Record, ObjKeyHash> live;
};

Books& books() {
  static Books* b = new Books;  // never destroyed: threads may free at exit
  return *b;
}

void __adjust(Books& b, int k, long count_delta, long bytes_delta) {
  b.now.count[k] += count_delta;
  b.now.bytes[k] += bytes_delta;
}

}  // namespace

const char* name(Kind k) {
  static const char* const names[kKinds] = {"kmalloc",     "vmalloc", "page",
                                            "slab_object", "slab_cache", "buffer_head",
                                            "bio",         "bdev_ref", "kthread",
                                            "vm_area"};
  int i = static_cast<int>(k);
  return (i >= 0 && i < kKinds) ? names[i] : "?";
}

void account(Kind kind, long count_delta, long bytes_delta, const void* obj, const void* caller) {
  // Name the caller now: it may be code of a module unloaded by report time.
  if (obj && caller && count_delta > 0) sym::describe(caller);
  Books& b = books();
  int k = static_cast<int>(kind);
  std::lock_guard lk(b.mu);
  __adjust(b, k, count_delta, bytes_delta);
  if (!obj) return;
  if (count_delta > 0)
    b.live[ObjKey{k, obj}] = Record{bytes_delta, caller, ++b.serial};
  else if (count_delta < 0)
    b.live.erase(ObjKey{k, obj});
}

void track(Kind kind, const void* obj, long bytes, const void* caller) {
  account(kind, 1, bytes, obj, caller);
}

bool untrack(Kind kind, const void* obj) {
  Books& b = books();
  int k = static_cast<int>(kind);
  std::lock_guard lk(b.mu);
  auto it = b.live.find(ObjKey{k, obj});
  if (it == b.live.end()) return false;
  __adjust(b, k, -1, -it->second.bytes);
  b.live.erase(it);
  return true;
}

long tracked_bytes(Kind kind, const void* obj) {
  Books& b = books();
  std::lock_guard lk(b.mu);
  auto it = b.live.find(ObjKey{static_cast<int>(kind), obj});
  return it == b.live.end() ? -1 : it->second.bytes;
}

Usage usage() {
  Books& b = books();
  std::lock_guard lk(b.mu);
  Usage u = b.now;
  u.serial = b.serial;
  return u;
}

std::string leak_report(const Usage& before) {
  Books& b = books();
  std::string report;
  std::vector<std::pair<unsigned long long, std::string>> objects;
  {
    std::lock_guard lk(b.mu);
    bool grew[kKinds] = {};
    char line[256];
    for (int k = 0; k < kKinds; ++k) {
      long dc = b.now.count[k] - before.count[k];
      long db = b.now.bytes[k] - before.bytes[k];
      if (dc <= 0) continue;
      grew[k] = true;
      std::snprintf(line, sizeof line, "%s: %ld more live (%ld now), %ld more bytes\n",
                    name(static_cast<Kind>(k)), dc, b.now.count[k], db);
      report += line;
    }
    if (report.empty()) return report;
    for (auto& [key, rec] : b.live) {
      if (!grew[key.kind] || rec.serial <= before.serial) continue;
      std::snprintf(line, sizeof line, "  %s %p, %ld bytes, from ", name(static_cast<Kind>(key.kind)),
                    key.obj, rec.bytes);
      objects.emplace_back(rec.serial, std::string(line) + sym::describe(rec.caller) + "\n");
    }
  }
  std::sort(objects.begin(), objects.end());
  for (auto& [serial, text] : objects) report += text;
  return report;
}

}  // namespace standin::mem
