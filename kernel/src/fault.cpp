// Fault injection: make chosen calls of an allocation site fail.
#include <mutex>
#include <optional>
#include <string>

#include "internal.h"
#include "standin/fault.h"

namespace standin::fault {
namespace {

constexpr int kSites = static_cast<int>(Site::count_);

struct SiteState {
  bool armed = false;
  long nth = 0;
  long interval = 0;
  long times = -1;
  std::optional<std::string> prefix;
  long calls = 0;
  long failures = 0;
};

// Protected by mu.
struct Sites {
  std::mutex mu;
  SiteState site[kSites];
};

Sites& sites() {
  static Sites* s = new Sites;  // never destroyed
  return *s;
}

bool __decide(SiteState& st) {
  if (!st.armed) return false;
  if (st.times >= 0 && st.failures >= st.times) return false;
  bool fail = (st.nth > 0 && st.calls == st.nth) ||
              (st.interval > 0 && st.calls % st.interval == 0);
  if (fail) st.failures++;
  return fail;
}

}  // namespace

void set(Site site, const Attr& attr) {
  Sites& s = sites();
  std::lock_guard lk(s.mu);
  SiteState& st = s.site[static_cast<int>(site)];
  st = SiteState{};
  st.armed = true;
  st.nth = attr.nth;
  st.interval = attr.interval;
  st.times = attr.times;
  if (attr.name_prefix) st.prefix = attr.name_prefix;
}

void clear(Site site) {
  Sites& s = sites();
  std::lock_guard lk(s.mu);
  s.site[static_cast<int>(site)] = SiteState{};
}

void clear_all() {
  Sites& s = sites();
  std::lock_guard lk(s.mu);
  for (auto& st : s.site) st = SiteState{};
}

long calls(Site site) {
  Sites& s = sites();
  std::lock_guard lk(s.mu);
  return s.site[static_cast<int>(site)].calls;
}

long failures(Site site) {
  Sites& s = sites();
  std::lock_guard lk(s.mu);
  return s.site[static_cast<int>(site)].failures;
}

bool should_fail(Site site, const char* name) {
  int i = static_cast<int>(site);
  if (i < 0 || i >= kSites) return false;
  Sites& s = sites();
  std::lock_guard lk(s.mu);
  SiteState& st = s.site[i];
  // A prefix filter leaves other caches' calls out of the count entirely.
  if (st.prefix && (!name || std::string(name).rfind(*st.prefix, 0) != 0)) return false;
  st.calls++;
  return __decide(st);
}

}  // namespace standin::fault
