// Memory mappings of device files: the mmap and munmap system calls of the
// stand-in and the page-fault path through a driver's vm_operations.
//
// A mapping is a reserved range of this process's addresses described by a
// vm_area_struct that the driver's mmap sees.  Right after a successful mmap
// every page of the range is faulted in, as MAP_POPULATE would: the driver's
// nopage supplies a page frame, and the frame's bytes in the page pool's
// memfd are mapped at the page's user address, so the user mapping and
// page_address() of the frame are the same memory.  A page the driver
// refuses is backed by an empty memfd, past its end: touching it raises a
// real SIGBUS, as the kernel delivers for a refused fault.
//
// As in the kernel:
// - a mapping holds a reference on its file, so the file's release runs at
//   the munmap that drops the last reference, not at close();
// - each page that nopage supplied holds the reference nopage took on it,
//   dropped when the page leaves the mapping;
// - munmap removes the pages first, then calls vm_ops->close, then drops the
//   file reference;
// - vm_ops->open is not called for the mapping that mmap creates (the kernel
//   calls it only for copies of a mapping, which the stand-in never makes);
// - a shared mapping of a file that is not open for writing gets VM_MAYSHARE
//   but neither VM_SHARED nor VM_MAYWRITE;
// - a mapping whose driver sets no nopage gets anonymous zeroed pages;
// - a driver's mmap that answers with a positive number has not created the
//   mapping, and that number comes back as mmap's result, as if it were the
//   mapping's address (do_mmap_pgoff returns the driver's value as it is):
//   a driver must refuse with a negative errno.
//
// Where the stand-in differs:
// - the stand-in shares its address space with the test program, so it only
//   places mappings where the host chooses: MAP_FIXED is refused (EINVAL),
//   and munmap accepts exactly one whole mapping (partial unmaps and ranges
//   that hold no device mapping are refused with EINVAL, since unmapping them
//   would take memory that the program owns);
// - only device files can be mapped (MAP_ANONYMOUS is refused with EINVAL);
// - NOPAGE_OOM is treated like a refused fault (SIGBUS) rather than killing
//   the program.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "internal.h"
#include "standin/user.h"

#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/mm.h>
#include <linux/rwsem.h>

#include "fs/vfs.h"

namespace {

constexpr unsigned long kPageMask = PAGE_SIZE - 1;
constexpr int kSupportedProt = PROT_READ | PROT_WRITE | PROT_EXEC;

// One device mapping.  The vm_area_struct is the one the driver sees for the
// whole life of the mapping, so the record never moves.
struct Mapping {
	struct vm_area_struct vma = {};
	int prot = PROT_NONE;
	// Page i of the range: the frame that nopage supplied (holding the
	// reference nopage took), or NULL (refused, or anonymous memory).
	// Protected by pte_lock, under mmap_sem held for reading; mmap_sem held
	// for writing excludes every fault.
	std::mutex pte_lock;
	std::vector<struct page *> pages;

	std::size_t npages() const { return (vma.vm_end - vma.vm_start) / PAGE_SIZE; }
	void *user(std::size_t i) const
	{
		return reinterpret_cast<void *>(vma.vm_start + i * PAGE_SIZE);
	}
};

// The process's mmap semaphore (the kernel's mm->mmap_sem): mmap and munmap
// hold it for writing (the driver's mmap and vm_ops->close and the file's
// release run under it), faults and user copies for reading (nopage runs
// under it).  It is a kernel read-write semaphore, so the lock checker sees
// the order of every lock taken under it and of it under any other lock.
// `maps` (keyed by vm_start) is protected by mmap_sem.
DECLARE_RWSEM(mmap_sem);
std::map<unsigned long, std::unique_ptr<Mapping>> maps;

struct MmWrite {
	MmWrite() { down_write(&mmap_sem); }
	~MmWrite() { up_write(&mmap_sem); }
};
struct MmRead {
	MmRead() { down_read(&mmap_sem); }
	~MmRead() { up_read(&mmap_sem); }
};

long fail(long err)
{
	errno = static_cast<int>(-err);
	return -1;
}

// An empty memfd: any access to a page mapped from it is past its end and
// raises SIGBUS.
int sigbus_fd()
{
	static int fd = [] {
		int f = memfd_create("cg-refused-fault", MFD_CLOEXEC);
		if (f < 0)
			panic("mmap: cannot create the memory of refused faults");
		return f;
	}();
	return fd;
}

void map_fixed(void *at, int prot, int flags, int fd, off_t off)
{
	void *got = ::mmap(at, PAGE_SIZE, prot, flags | MAP_FIXED, fd, off);
	if (got != at)
		panic("mmap: cannot map a page at %p (errno %d)", at, errno);
}

// What the host maps at page i: the frame of page (shared with the pool,
// privately when the mapping is private, which gives copy-on-write), memory
// that raises SIGBUS, or anonymous zeroed memory.
void __install(Mapping &m, std::size_t i, struct page *page, bool refused)
{
	if (page) {
		int share = (m.vma.vm_flags & VM_MAYSHARE) ? MAP_SHARED : MAP_PRIVATE;
		map_fixed(m.user(i), m.prot, share, standin::mem::pool_fd(),
			  standin::mem::frame_offset(page));
	} else if (refused) {
		map_fixed(m.user(i), m.prot, MAP_SHARED, sigbus_fd(), 0);
	} else {
		map_fixed(m.user(i), m.prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	}
}

// The fault path for page i: asks the driver for the page, puts it in place
// of what was there and drops the reference the old page held.  0, or SIGBUS
// when the driver refused.  Caller holds mmap_sem (shared or exclusive).
int __fault_page(Mapping &m, std::size_t i)
{
	struct vm_operations_struct *ops = m.vma.vm_ops;
	struct page *page = nullptr;
	bool refused = false;
	if (ops && ops->nopage) {
		int type = VM_FAULT_MINOR;
		page = ops->nopage(&m.vma, m.vma.vm_start + i * PAGE_SIZE, &type);
		if (page == NOPAGE_OOM || page == NOPAGE_SIGBUS) {
			page = nullptr;
			refused = true;
		}
	}
	struct page *old;
	{
		std::lock_guard<std::mutex> pte(m.pte_lock);
		__install(m, i, page, refused);
		old = m.pages[i];
		m.pages[i] = page;
	}
	if (old)
		put_page(old);
	return refused ? SIGBUS : 0;
}

// Linux's vm_flags of a new mapping of file; 0, or -EACCES when the file's
// open mode does not allow the protection asked for.
int vm_flags_for(struct file *file, int prot, int type, unsigned long *out)
{
	unsigned long flags = VM_MAYREAD | VM_MAYWRITE | VM_MAYEXEC;
	if (prot & PROT_READ)
		flags |= VM_READ;
	if (prot & PROT_WRITE)
		flags |= VM_WRITE;
	if (prot & PROT_EXEC)
		flags |= VM_EXEC;
	if (type == MAP_SHARED) {
		if ((prot & PROT_WRITE) && !(file->f_mode & FMODE_WRITE))
			return -EACCES;
		flags |= VM_SHARED | VM_MAYSHARE;
		if (!(file->f_mode & FMODE_WRITE))
			flags &= ~(VM_MAYWRITE | VM_SHARED);
	}
	if (!(file->f_mode & FMODE_READ))
		return -EACCES;
	*out = flags;
	return 0;
}

// The checks that need no file; the page-rounded length, or -errno.
long check_request(std::size_t length, int prot, int flags, off_t offset)
{
	int type = flags & (MAP_SHARED | MAP_PRIVATE);
	if (!length || (offset & static_cast<off_t>(kPageMask)) || offset < 0)
		return -EINVAL;
	if (type != MAP_SHARED && type != MAP_PRIVATE)
		return -EINVAL;
	if ((flags & (MAP_FIXED | MAP_ANONYMOUS)) || (prot & ~kSupportedProt))
		return -EINVAL;
	std::size_t rounded = (length + kPageMask) & ~kPageMask;
	if (rounded < length || rounded > static_cast<std::size_t>(LONG_MAX))
		return -ENOMEM;
	unsigned long pgoff = static_cast<unsigned long>(offset) >> PAGE_SHIFT;
	if (pgoff + (rounded >> PAGE_SHIFT) < pgoff)
		return -EOVERFLOW;
	return static_cast<long>(rounded);
}

// A new mapping record over a fresh reservation of len bytes (nullptr when
// the host has no room).  The file reference passes to it.
std::unique_ptr<Mapping> new_mapping(void *hint, std::size_t len, int prot, unsigned long vm_flags,
				     off_t offset, struct file *file)
{
	void *at = ::mmap(hint, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
	if (at == MAP_FAILED)
		return nullptr;
	auto m = std::make_unique<Mapping>();
	m->prot = prot;
	m->pages.assign(len / PAGE_SIZE, nullptr);
	m->vma.vm_start = reinterpret_cast<unsigned long>(at);
	m->vma.vm_end = m->vma.vm_start + len;
	m->vma.vm_page_prot = static_cast<unsigned long>(prot);
	m->vma.vm_flags = vm_flags;
	m->vma.vm_pgoff = static_cast<unsigned long>(offset) >> PAGE_SHIFT;
	m->vma.vm_file = file;
	return m;
}

// Takes a mapping down: its pages leave the address space and drop their
// references, the driver's close runs, the range is given back and the file
// reference is dropped (which runs release when it was the last).
// Caller holds mmap_sem exclusively and has taken m out of `maps`.
void __teardown(std::unique_ptr<Mapping> m)
{
	::munmap(reinterpret_cast<void *>(m->vma.vm_start), m->vma.vm_end - m->vma.vm_start);
	for (struct page *&page : m->pages) {
		if (page)
			put_page(page);
		page = nullptr;
	}
	if (m->vma.vm_ops && m->vma.vm_ops->close)
		m->vma.vm_ops->close(&m->vma);
	standin::mem::untrack(standin::mem::Kind::vm_area, m.get());
	standin::vfs::fput(m->vma.vm_file);
}

// The mapping that holds addr; nullptr when none does.  Caller holds mmap_sem.
Mapping *__find(unsigned long addr)
{
	auto it = maps.upper_bound(addr);
	if (it == maps.begin())
		return nullptr;
	--it;
	Mapping *m = it->second.get();
	return addr < m->vma.vm_end ? m : nullptr;
}

// Creates the mapping of file: the driver's mmap, then every page faulted
// in.  The start address, or -errno, or the positive number a driver's mmap
// refused with.  *mapped says whether the mapping exists; the file reference
// passes to it, and the caller drops it otherwise.
long do_mmap(void *hint, std::size_t len, int prot, int flags, struct file *file, off_t offset,
	     bool *mapped)
{
	*mapped = false;
	unsigned long vm_flags;
	int ret = vm_flags_for(file, prot, flags & (MAP_SHARED | MAP_PRIVATE), &vm_flags);
	if (ret)
		return ret;
	MmWrite mm;
	std::unique_ptr<Mapping> m = new_mapping(hint, len, prot, vm_flags, offset, file);
	if (!m)
		return -ENOMEM;
	ret = file->f_op->mmap(file, &m->vma);
	if (ret) {
		::munmap(reinterpret_cast<void *>(m->vma.vm_start), len);
		return ret;
	}
	if (prot != PROT_NONE) {
		for (std::size_t i = 0; i < m->npages(); i++)
			__fault_page(*m, i);
	}
	unsigned long start = m->vma.vm_start;
	standin::mem::track(standin::mem::Kind::vm_area, m.get(), static_cast<long>(len),
			    reinterpret_cast<const void *>(file->f_op->mmap));
	maps.emplace(start, std::move(m));
	*mapped = true;
	return static_cast<long>(start);
}

}  // namespace

namespace standin::user {

void *mmap(void *addr, std::size_t length, int prot, int flags, int fd, off_t offset)
{
	long len = check_request(length, prot, flags, offset);
	if (len < 0)
		return fail(len), MAP_FAILED;
	struct file *file = vfs::fget(fd);
	if (!file)
		return fail(-EBADF), MAP_FAILED;
	if (!S_ISCHR(vfs::file_inode(file)->i_mode) || !file->f_op->mmap) {
		vfs::fput(file);
		return fail(-ENODEV), MAP_FAILED;
	}
	bool mapped;
	long ret = do_mmap(addr, static_cast<std::size_t>(len), prot, flags, file, offset, &mapped);
	if (!mapped)
		vfs::fput(file);
	if (ret < 0)
		return fail(ret), MAP_FAILED;
	return reinterpret_cast<void *>(ret);
}

int munmap(void *addr, std::size_t length)
{
	auto start = reinterpret_cast<unsigned long>(addr);
	if ((start & kPageMask) || !length)
		return static_cast<int>(fail(-EINVAL));
	std::size_t rounded = (length + kPageMask) & ~kPageMask;
	MmWrite mm;
	auto it = maps.find(start);
	if (it == maps.end() || rounded < length ||
	    it->second->vma.vm_end - start != rounded)
		return static_cast<int>(fail(-EINVAL));
	std::unique_ptr<Mapping> m = std::move(it->second);
	maps.erase(it);
	__teardown(std::move(m));
	return 0;
}

int fault(void *addr)
{
	auto a = reinterpret_cast<unsigned long>(addr);
	MmRead mm;
	Mapping *m = __find(a);
	if (!m)
		return static_cast<int>(fail(-EFAULT));
	return __fault_page(*m, (a - m->vma.vm_start) / PAGE_SIZE);
}

int munmap_all()
{
	MmWrite mm;
	int n = 0;
	while (!maps.empty()) {
		std::unique_ptr<Mapping> m = std::move(maps.begin()->second);
		maps.erase(maps.begin());
		__teardown(std::move(m));
		n++;
	}
	return n;
}

std::size_t mappings()
{
	MmRead mm;
	return maps.size();
}

}  // namespace standin::user

namespace standin::mm {

void fault_lock()
{
	down_read(&mmap_sem);
}

void fault_unlock()
{
	up_read(&mmap_sem);
}

}  // namespace standin::mm
