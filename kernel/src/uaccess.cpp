// Copies to and from user addresses of the calling process, holding the
// process's mmap semaphore for reading as a faulting copy would.  They go through
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

// A user copy may fault a page in, which takes the process's mmap
// semaphore for reading: the copy is made holding it, so that the lock
// checker sees the order every user copy can take.  In atomic context the
// fault path takes no semaphore (it fails the fault instead; the sleeping
// copy is reported by its own check).
struct FaultPath {
  bool locked = !standin::kern::in_atomic();
  FaultPath() {
    if (locked) standin::mm::fault_lock();
  }
  ~FaultPath() {
    if (locked) standin::mm::fault_unlock();
  }
};

unsigned long copy_in(void* to, std::uintptr_t from, unsigned long n) {
  FaultPath fault;
  return transfer(to, from, n, false);
}

unsigned long copy_out(std::uintptr_t to, const void* from, unsigned long n) {
  FaultPath fault;
  return transfer(const_cast<void*>(from), to, n, true);
}

int get_n(void* kval, const void __user* uaddr, unsigned long size, const void* site) {
  standin::lockcheck::might_sleep("get_user", site);
  if (!range_ok(uaddr, size) || copy_in(kval, reinterpret_cast<std::uintptr_t>(uaddr), size) != size) {
    std::memset(kval, 0, size);
    return -EFAULT;
  }
  return 0;
}

int put_n(const void* kval, void __user* uaddr, unsigned long size, const void* site) {
  standin::lockcheck::might_sleep("put_user", site);
  if (!range_ok(uaddr, size) || copy_out(reinterpret_cast<std::uintptr_t>(uaddr), kval, size) != size)
    return -EFAULT;
  return 0;
}

}  // namespace

extern "C" {

unsigned long copy_from_user(void* to, const void __user* from, unsigned long n) {
  standin::lockcheck::might_sleep("copy_from_user", STANDIN_CALLER);
  unsigned long done = 0;
  if (n && range_ok(from, n)) done = copy_in(to, reinterpret_cast<std::uintptr_t>(from), n);
  if (done < n) std::memset(static_cast<char*>(to) + done, 0, n - done);
  return n - done;
}
EXPORT_SYMBOL(copy_from_user);

unsigned long copy_to_user(void __user* to, const void* from, unsigned long n) {
  standin::lockcheck::might_sleep("copy_to_user", STANDIN_CALLER);
  if (!n || !range_ok(to, n)) return n;
  return n - copy_out(reinterpret_cast<std::uintptr_t>(to), from, n);
}
EXPORT_SYMBOL(copy_to_user);

/*
 * x86_64's get_user and put_user helpers, one per object size.  (In the
 * kernel they take the address and value in registers; here they are
 * plain functions of the same names.)
 */
#define STANDIN_USER_N(n) \
	int __get_user_##n(void *kval, const void __user *uaddr) \
	{ \
		return get_n(kval, uaddr, n, STANDIN_CALLER); \
	} \
	EXPORT_SYMBOL(__get_user_##n); \
	int __put_user_##n(const void *kval, void __user *uaddr) \
	{ \
		return put_n(kval, uaddr, n, STANDIN_CALLER); \
	} \
	EXPORT_SYMBOL(__put_user_##n);

STANDIN_USER_N(1)
STANDIN_USER_N(2)
STANDIN_USER_N(4)
STANDIN_USER_N(8)

}  // extern "C"
