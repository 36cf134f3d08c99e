// Address naming with dladdr and the C++ demangler.
#include "lib/symbols.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <map>
#include <memory>
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

// Function symbols of one object file's full symbol table (.symtab), which,
// unlike the dynamic one, also names static functions and the functions of
// an executable.
struct SymbolTable {
  struct Sym {
    unsigned long start, size;
    std::string name;
  };
  std::vector<Sym> syms;  // sorted by start
  bool absolute = false;  // a fixed-address executable: values are addresses

  const Sym* find(unsigned long off) const {
    auto it = std::upper_bound(syms.begin(), syms.end(), off,
                               [](unsigned long o, const Sym& s) { return o < s.start; });
    if (it == syms.begin()) return nullptr;
    --it;
    return off < it->start + std::max(it->size, 1ul) ? &*it : nullptr;
  }
};

std::unique_ptr<SymbolTable> read_symtab(const char* path) {
  auto table = std::make_unique<SymbolTable>();
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return table;
  struct stat st {};
  void* map = MAP_FAILED;
  if (fstat(fd, &st) == 0 && st.st_size > static_cast<off_t>(sizeof(Elf64_Ehdr)))
    map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return table;
  auto* base = static_cast<const char*>(map);
  auto size = static_cast<size_t>(st.st_size);
  auto* eh = reinterpret_cast<const Elf64_Ehdr*>(base);
  bool ok = std::memcmp(eh->e_ident, ELFMAG, SELFMAG) == 0 && eh->e_ident[EI_CLASS] == ELFCLASS64 &&
            eh->e_shoff + size_t{eh->e_shnum} * sizeof(Elf64_Shdr) <= size;
  auto* sh = reinterpret_cast<const Elf64_Shdr*>(base + (ok ? eh->e_shoff : 0));
  table->absolute = ok && eh->e_type == ET_EXEC;
  for (int i = 0; ok && i < eh->e_shnum; ++i) {
    if (sh[i].sh_type != SHT_SYMTAB || sh[i].sh_link >= eh->e_shnum) continue;
    const Elf64_Shdr& strs = sh[sh[i].sh_link];
    if (sh[i].sh_offset + sh[i].sh_size > size || strs.sh_offset + strs.sh_size > size) continue;
    auto* syms = reinterpret_cast<const Elf64_Sym*>(base + sh[i].sh_offset);
    size_t n = sh[i].sh_size / sizeof(Elf64_Sym);
    for (size_t k = 0; k < n; ++k) {
      if (ELF64_ST_TYPE(syms[k].st_info) != STT_FUNC || !syms[k].st_value) continue;
      if (syms[k].st_name >= strs.sh_size) continue;
      table->syms.push_back({syms[k].st_value, syms[k].st_size, base + strs.sh_offset + syms[k].st_name});
    }
  }
  munmap(map, size);
  std::sort(table->syms.begin(), table->syms.end(),
            [](const SymbolTable::Sym& a, const SymbolTable::Sym& b) { return a.start < b.start; });
  return table;
}

// Tables by object path.  Protected by Memo::mu.
std::map<std::string, std::unique_ptr<SymbolTable>>& tables() {
  static auto* t = new std::map<std::string, std::unique_ptr<SymbolTable>>;
  return *t;
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
  const SymbolTable::Sym* full = nullptr;
  {
    std::lock_guard lk(memo().mu);
    auto& slot = tables()[info.dli_fname];
    if (!slot) slot = read_symtab(info.dli_fname);
    unsigned long off = slot->absolute
                            ? reinterpret_cast<unsigned long>(addr)
                            : static_cast<unsigned long>(static_cast<const char*>(addr) -
                                                         static_cast<const char*>(info.dli_fbase));
    full = slot->find(off);
    if (full) {
      s = demangle(full->name.c_str());
      std::snprintf(buf, sizeof buf, "+0x%lx", off - full->start);
      s += buf;
    }
  }
  if (full) {
  } else if (info.dli_sname) {
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

std::vector<void*> capture_caller() {
  std::vector<void*> frames = capture(1);
  std::size_t skip = 0;
  while (skip < frames.size() && in_standin(frames[skip])) skip++;
  if (skip == frames.size()) skip = 0;
  frames.erase(frames.begin(), frames.begin() + static_cast<long>(skip));
  return frames;
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
