// Pages of the test process with chosen protections, to hand the module
// user addresses that can be read and written, only read, or not touched.
#pragma once
#include <sys/mman.h>

#include <cstddef>
#include <cstring>

class UserPages {
 public:
  static constexpr std::size_t kPage = 4096;

  // Page 0 read-write, page 1 read-only, page 2 inaccessible.
  UserPages() {
    void* p = ::mmap(nullptr, 3 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = static_cast<char*>(p == MAP_FAILED ? nullptr : p);
    if (base_) {
      std::memset(base_, 0, 2 * kPage);
      ::mprotect(base_ + kPage, kPage, PROT_READ);
      ::mprotect(base_ + 2 * kPage, kPage, PROT_NONE);
    }
  }
  ~UserPages() {
    if (base_) ::munmap(base_, 3 * kPage);
  }
  UserPages(const UserPages&) = delete;
  UserPages& operator=(const UserPages&) = delete;

  bool ok() const { return base_ != nullptr; }
  char* rw() const { return base_; }
  // The first address of the read-only page: readable, not writable.
  char* readOnly() const { return base_ + kPage; }
  // The first address of the inaccessible page; readOnly() ends there.
  char* none() const { return base_ + 2 * kPage; }
  unsigned long addr(const void* p) const { return reinterpret_cast<unsigned long>(p); }

 private:
  char* base_ = nullptr;
};
