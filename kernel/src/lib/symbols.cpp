// Address naming with dladdr and the C++ demangler.
#include "lib/symbols.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace standin::sym {
namespace {

struct Memo {
  std::mutex mu;
  std::unordered_map<const void*, std::string> names;
};

Memo& memo() {
  static Memo* m = new Memo;  // never destroyed: threads may report at exit
  return *m;
}

std::string demangle(const char* name) {
  int status = 0;
  char* out = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || !out) return name;
  std::string s(out);
  std::free(out);
  return s;
}

const char* basename_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

std::string lookup(const void* addr) {
  Dl_info info{};
  char buf[64];
  if (!dladdr(addr, &info) || !info.dli_fname) {
    std::snprintf(buf, sizeof buf, "%p", addr);
    return buf;
  }
  std::string s;
  if (info.dli_sname) {
    s = demangle(info.dli_sname);
    std::snprintf(buf, sizeof buf, "+0x%lx",
                  static_cast<unsigned long>(static_cast<const char*>(addr) -
                                             static_cast<const char*>(info.dli_saddr)));
    s += buf;
  } else {
    std::snprintf(buf, sizeof buf, "%p", addr);
    s = buf;
  }
  s += " (";
  s += basename_of(info.dli_fname);
  s += ")";
  return s;
}

}  // namespace

std::string describe(const void* addr) {
  if (!addr) return "?";
  Memo& m = memo();
  {
    std::lock_guard lk(m.mu);
    auto it = m.names.find(addr);
    if (it != m.names.end()) return it->second;
  }
  std::string s = lookup(addr);
  std::lock_guard lk(m.mu);
  m.names.emplace(addr, s);
  return s;
}

std::vector<void*> capture(int skip) {
  void* frames[48];
  int n = backtrace(frames, 48);
  std::vector<void*> out;
  for (int i = skip + 1; i < n; ++i) out.push_back(frames[i]);
  return out;
}

std::string format(const std::vector<void*>& frames, const char* indent) {
  std::string s;
  for (void* f : frames) {
    s += indent;
    s += describe(f);
    s += "\n";
  }
  return s;
}

bool in_standin(const void* addr) {
  static const void* self = [] {
    Dl_info info{};
    dladdr(reinterpret_cast<const void*>(&in_standin), &info);
    return info.dli_fbase;
  }();
  Dl_info info{};
  return dladdr(addr, &info) && info.dli_fbase == self;
}

}  // namespace standin::sym
