// Copies to and from user addresses of the calling process.  They go through
// process_vm_readv/process_vm_writev on the own pid, so an address that is
// unmapped, inaccessible or (for writes) read-only fails in the host kernel
// instead of faulting here; the transfer is split at page boundaries so a
// fault ends it exactly at the first bad page.
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "internal.h"

#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <asm/page.h>
#include <asm/uaccess.h>

namespace {

// Highest user address + 1 on x86-64 with 4-level paging.
constexpr std::uintptr_t kTaskSize = std::uintptr_t{1} << 47;
constexpr int kIovBatch = 64;

// Moves n bytes; returns how many moved before the first fault.
unsigned long transfer(void* local, std::uintptr_t remote, unsigned long n, bool to_user) {
  pid_t self = getpid();
  unsigned long done = 0;
  while (done < n) {
    struct iovec liov;
    struct iovec riov[kIovBatch];
    int cnt = 0;
    unsigned long batch = 0;
    std::uintptr_t addr = remote + done;
    while (cnt < kIovBatch && done + batch < n) {
      unsigned long in_page = PAGE_SIZE - ((addr + batch) & (PAGE_SIZE - 1));
      unsigned long len = std::min(in_page, n - done - batch);
      riov[cnt].iov_base = reinterpret_cast<void*>(addr + batch);
      riov[cnt].iov_len = len;
      batch += len;
      cnt++;
    }
    liov.iov_base = static_cast<char*>(local) + done;
    liov.iov_len = batch;
    ssize_t got = to_user ? process_vm_writev(self, &liov, 1, riov, cnt, 0)
                          : process_vm_readv(self, &liov, 1, riov, cnt, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<unsigned long>(got);
    if (static_cast<unsigned long>(got) < batch) break;
  }
  return done;
}

bool range_ok(const void* addr, unsigned long size) {
  auto a = reinterpret_cast<std::uintptr_t>(addr);
  return a <= kTaskSize && size <= kTaskSize - a;
}

}  // namespace

extern "C" {

unsigned long copy_from_user(void* to, const void __user* from, unsigned long n) {
  standin::lockcheck::might_sleep("copy_from_user", STANDIN_CALLER);
  unsigned long done = 0;
  if (n && range_ok(from, n)) done = transfer(to, reinterpret_cast<std::uintptr_t>(from), n, false);
  if (done < n) std::memset(static_cast<char*>(to) + done, 0, n - done);
  return n - done;
}
EXPORT_SYMBOL(copy_from_user);

unsigned long copy_to_user(void __user* to, const void* from, unsigned long n) {
  standin::lockcheck::might_sleep("copy_to_user", STANDIN_CALLER);
  if (!n || !range_ok(to, n)) return n;
  return n - transfer(const_cast<void*>(from), reinterpret_cast<std::uintptr_t>(to), n, true);
}
EXPORT_SYMBOL(copy_to_user);

int __get_user_n(void* kval, const void __user* uaddr, unsigned long size) {
  standin::lockcheck::might_sleep("get_user", STANDIN_CALLER);
  if (!range_ok(uaddr, size) ||
      transfer(kval, reinterpret_cast<std::uintptr_t>(uaddr), size, false) != size) {
    std::memset(kval, 0, size);
    return -EFAULT;
  }
  return 0;
}
EXPORT_SYMBOL(__get_user_n);

int __put_user_n(const void* kval, void __user* uaddr, unsigned long size) {
  standin::lockcheck::might_sleep("put_user", STANDIN_CALLER);
  if (!range_ok(uaddr, size) ||
      transfer(const_cast<void*>(kval), reinterpret_cast<std::uintptr_t>(uaddr), size, true) != size)
    return -EFAULT;
  return 0;
}
EXPORT_SYMBOL(__put_user_n);

int access_ok_range(int type, const void __user* addr, unsigned long size) {
  return range_ok(addr, size) ? 1 : 0;
}
EXPORT_SYMBOL(access_ok_range);

}  // extern "C"
