// Mappings of a device file: the driver's pages are the user's memory (zero
// copy), faults go through the driver's nopage, a refused fault is a SIGBUS,
// and the mapping holds its file and its pages until munmap.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/kernel_test.h"

#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/gfp.h>
#include <linux/mm.h>
#include <linux/module.h>

namespace {

constexpr unsigned kMajor = 236;
constexpr int kPages = 8;
constexpr std::size_t kPage = PAGE_SIZE;

enum class Refusal { none, sigbus, oom };

// The test driver: its own pages, what its mmap and nopage answer, and what
// they saw.  nopage serves page (address - vm_start) / PAGE_SIZE + vm_pgoff
// of its array.
struct Driver {
	std::array<struct page *, kPages> pages{};
	int mmap_result = 0;
	bool set_ops = true;
	bool ops_before_refusal = false;	/* sets vm_ops even when refusing */
	std::array<std::atomic<Refusal>, kPages> refuse{};
	std::array<std::atomic<int>, kPages> hits{};
	std::atomic<int> mmaps{0}, nopages{0}, vm_opens{0}, vm_closes{0}, opens{0}, releases{0};
	// The last mmap's view of the new mapping, before the driver touched it.
	struct vm_area_struct *vma = nullptr;
	struct vm_area_struct entry{};
	struct file *opened = nullptr;
	struct vm_area_struct *closed = nullptr;
	int page0_count_at_close = -1;
	std::atomic<bool> bad_fault_address{false};
} drv;

struct module fakeModule = {MODULE_STATE_LIVE, "mapmod", ATOMIC_INIT(0), nullptr, nullptr};

struct page *dNopage(struct vm_area_struct *vma, unsigned long address, int *type)
{
	drv.nopages++;
	if (!type || (address & (kPage - 1)) || address < vma->vm_start || address >= vma->vm_end)
		drv.bad_fault_address = true;
	unsigned long i = (address - vma->vm_start) / kPage + vma->vm_pgoff;
	if (i >= kPages)
		return NOPAGE_SIGBUS;
	drv.hits[i]++;
	switch (drv.refuse[i].load()) {
	case Refusal::sigbus: return NOPAGE_SIGBUS;
	case Refusal::oom: return NOPAGE_OOM;
	case Refusal::none: break;
	}
	get_page(drv.pages[i]);
	return drv.pages[i];
}

void dVmOpen(struct vm_area_struct *)
{
	drv.vm_opens++;
}

void dVmClose(struct vm_area_struct *vma)
{
	drv.vm_closes++;
	drv.closed = vma;
	drv.page0_count_at_close = drv.pages[0] ? page_count(drv.pages[0]) : -1;
}

struct vm_operations_struct dVmOps = [] {
	struct vm_operations_struct ops = {};
	ops.open = dVmOpen;
	ops.close = dVmClose;
	ops.nopage = dNopage;
	return ops;
}();

int dMmap(struct file *file, struct vm_area_struct *vma)
{
	drv.mmaps++;
	drv.vma = vma;
	drv.entry = *vma;
	EXPECT_EQ(&drv, file->private_data);
	if (drv.set_ops && (drv.mmap_result == 0 || drv.ops_before_refusal))
		vma->vm_ops = &dVmOps;
	return drv.mmap_result;
}

int dOpen(struct inode *, struct file *file)
{
	drv.opens++;
	drv.opened = file;
	file->private_data = &drv;
	return 0;
}

int dRelease(struct inode *, struct file *)
{
	drv.releases++;
	return 0;
}

struct file_operations mapOps = [] {
	struct file_operations ops = {};
	ops.owner = &fakeModule;
	ops.open = dOpen;
	ops.release = dRelease;
	ops.mmap = dMmap;
	return ops;
}();
struct file_operations noMmapOps = {};

char *at(void *base, std::size_t page, std::size_t off = 0)
{
	return static_cast<char *>(base) + page * kPage + off;
}

char *kaddr(int i, std::size_t off = 0)
{
	return static_cast<char *>(page_address(drv.pages[i])) + off;
}

// Reads one byte of addr in a child process, which reports SIGBUS at addr
// with exit status kBusStatus; 0 when the read went through.
constexpr int kBusStatus = 42;
void *volatile expected_bus_addr;

void onBus(int, siginfo_t *info, void *)
{
	_exit(info->si_addr == expected_bus_addr ? kBusStatus : kBusStatus + 1);
}

int touchInChild(const void *addr)
{
	pid_t pid = fork();
	if (pid == 0) {
		struct sigaction sa = {};
		sa.sa_sigaction = onBus;
		sa.sa_flags = SA_SIGINFO;
		sigaction(SIGBUS, &sa, nullptr);
		expected_bus_addr = const_cast<void *>(addr);
		volatile char c = *static_cast<const volatile char *>(addr);
		(void)c;
		_exit(0);
	}
	int status = 0;
	if (pid < 0 || waitpid(pid, &status, 0) != pid)
		return -1;
	return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

class MmapTest : public KernelTest {
protected:
	void SetUp() override
	{
		KernelTest::SetUp();
		resetDriver();
		ASSERT_EQ(0, register_chrdev(kMajor, "maptest", &mapOps));
		ASSERT_EQ(0, register_chrdev(kMajor + 1, "mapbare", &noMmapOps));
		standin::user::mknod("/dev/maptest", 'c', kMajor, 0);	/* kept between cases */
		standin::user::mknod("/dev/mapbare", 'c', kMajor + 1, 0);
		for (int i = 0; i < kPages; i++) {
			drv.pages[i] = alloc_page(GFP_KERNEL);
			ASSERT_NE(nullptr, drv.pages[i]);
			std::memset(page_address(drv.pages[i]), 'a' + i, kPage);
		}
	}
	void TearDown() override
	{
		EXPECT_EQ(0, standin::user::munmap_all()) << "a case left a mapping behind";
		EXPECT_FALSE(drv.bad_fault_address) << "nopage got an address outside its mapping";
		for (struct page *&page : drv.pages) {
			if (page)
				__free_page(page);
			page = nullptr;
		}
		EXPECT_EQ(0u, module_refcount(&fakeModule));
		EXPECT_EQ(0, unregister_chrdev(kMajor, "maptest"));
		EXPECT_EQ(0, unregister_chrdev(kMajor + 1, "mapbare"));
		ExpectNoLeaks();
		KernelTest::TearDown();
	}

	static void resetDriver()
	{
		drv.mmap_result = 0;
		drv.set_ops = true;
		drv.ops_before_refusal = false;
		for (auto &r : drv.refuse)
			r = Refusal::none;
		for (auto &h : drv.hits)
			h = 0;
		drv.mmaps = drv.nopages = drv.vm_opens = drv.vm_closes = 0;
		drv.opens = drv.releases = 0;
		drv.vma = nullptr;
		drv.entry = {};
		drv.opened = nullptr;
		drv.closed = nullptr;
		drv.page0_count_at_close = -1;
		drv.bad_fault_address = false;
	}

	static void *map(int fd, std::size_t len, int prot, int flags, off_t off = 0)
	{
		return standin::user::mmap(nullptr, len, prot, flags, fd, off);
	}
	static void expectMapFailure(void *ret, int err)
	{
		EXPECT_EQ(MAP_FAILED, ret);
		EXPECT_EQ(err, errno);
	}
	static void expectFailure(int ret, int err)
	{
		EXPECT_EQ(-1, ret);
		EXPECT_EQ(err, errno);
	}
};

TEST_F(MmapTest, SharedMappingIsTheDriversPagesBothWays)
{
	int fd = standin::user::open("/dev/maptest", O_RDWR);
	ASSERT_GE(fd, 0);
	void *p = map(fd, 3 * kPage, PROT_READ | PROT_WRITE, MAP_SHARED, kPage);
	ASSERT_NE(MAP_FAILED, p);
	EXPECT_EQ(0u, reinterpret_cast<unsigned long>(p) % kPage);

	// Every page is faulted in once, at mmap; offset 1 page shifts the window.
	EXPECT_EQ(3, drv.nopages);
	EXPECT_EQ(0, drv.hits[0]);
	for (int i = 1; i <= 3; i++) {
		EXPECT_EQ(1, drv.hits[i]) << "page " << i;
		EXPECT_EQ(2, page_count(drv.pages[i])) << "page " << i;
	}
	EXPECT_EQ(1, page_count(drv.pages[4]));

	// The driver's initial bytes, then its writes through page_address, are
	// what the user reads; the user's writes are what the driver reads.
	EXPECT_EQ('b', *at(p, 0));
	EXPECT_EQ('d', *at(p, 2, kPage - 1));
	std::strcpy(kaddr(2, 100), "from the kernel");
	EXPECT_STREQ("from the kernel", at(p, 1, 100));
	std::strcpy(at(p, 2, 4000), "from the user");
	EXPECT_STREQ("from the user", kaddr(3, 4000));
	EXPECT_EQ(3, drv.nopages) << "touching mapped pages faulted again";

	EXPECT_EQ(0, standin::user::munmap(p, 3 * kPage));
	for (int i = 1; i <= 3; i++)
		EXPECT_EQ(1, page_count(drv.pages[i])) << "page " << i;
	EXPECT_STREQ("from the user", kaddr(3, 4000)) << "the driver's page changed at munmap";
	EXPECT_EQ(0, standin::user::close(fd));
}

TEST_F(MmapTest, TheNewMappingDescribesTheRequest)
{
	int rw = standin::user::open("/dev/maptest", O_RDWR);
	int ro = standin::user::open("/dev/maptest", O_RDONLY);
	ASSERT_GE(rw, 0);
	ASSERT_GE(ro, 0);
	const unsigned long may = VM_MAYREAD | VM_MAYWRITE | VM_MAYEXEC;

	// Private read-only, length rounded up to whole pages.
	void *p = map(ro, kPage + 1, PROT_READ, MAP_PRIVATE, 2 * kPage);
	ASSERT_NE(MAP_FAILED, p);
	EXPECT_EQ(reinterpret_cast<unsigned long>(p), drv.entry.vm_start);
	EXPECT_EQ(2 * kPage, drv.entry.vm_end - drv.entry.vm_start);
	EXPECT_EQ(VM_READ | may, drv.entry.vm_flags);
	EXPECT_EQ(2u, drv.entry.vm_pgoff);
	EXPECT_EQ(drv.opened, drv.entry.vm_file);
	EXPECT_EQ(nullptr, drv.entry.vm_ops);
	EXPECT_EQ(nullptr, drv.entry.vm_private_data);
	EXPECT_EQ('c', *at(p, 0));
	EXPECT_EQ('d', *at(p, 1));
	EXPECT_EQ(0, standin::user::munmap(p, kPage + 1));

	// Shared and writable on a file open for writing.
	p = map(rw, kPage, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_SHARED);
	ASSERT_NE(MAP_FAILED, p);
	EXPECT_EQ(VM_READ | VM_WRITE | VM_EXEC | VM_SHARED | VM_MAYSHARE | may, drv.entry.vm_flags);
	EXPECT_EQ(0, standin::user::munmap(p, kPage));

	// Shared on a read-only file: may-share, but neither shared nor may-write.
	p = map(ro, kPage, PROT_READ, MAP_SHARED);
	ASSERT_NE(MAP_FAILED, p);
	EXPECT_EQ(VM_READ | VM_MAYSHARE | VM_MAYREAD | VM_MAYEXEC, drv.entry.vm_flags);
	EXPECT_EQ(0, standin::user::munmap(p, kPage));

	// No access at all: the driver maps it, nothing is faulted in.
	int nopages = drv.nopages;
	p = map(ro, kPage, PROT_NONE, MAP_PRIVATE);
	ASSERT_NE(MAP_FAILED, p);
	EXPECT_EQ(may, drv.entry.vm_flags);
	EXPECT_EQ(nopages, drv.nopages);
	EXPECT_EQ(0, standin::user::munmap(p, kPage));

	// The open mode forbids: a writable shared mapping of a read-only file,
	// any mapping of a write-only file.  The driver is not asked.
	int wo = standin::user::open("/dev/maptest", O_WRONLY);
	ASSERT_GE(wo, 0);
	int mmaps = drv.mmaps;
	expectMapFailure(map(ro, kPage, PROT_READ | PROT_WRITE, MAP_SHARED), EACCES);
	expectMapFailure(map(wo, kPage, PROT_READ, MAP_PRIVATE), EACCES);
	expectMapFailure(map(wo, kPage, PROT_WRITE, MAP_SHARED), EACCES);
	EXPECT_EQ(mmaps, drv.mmaps);

	for (int fd : {rw, ro, wo})
		EXPECT_EQ(0, standin::user::close(fd));
	EXPECT_EQ(3, drv.releases);
}

TEST_F(MmapTest, PrivateWritableMappingCopiesOnWrite)
{
	int fd = standin::user::open("/dev/maptest", O_RDWR);
	ASSERT_GE(fd, 0);
	void *p = map(fd, kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE);
	ASSERT_NE(MAP_FAILED, p);
	std::strcpy(kaddr(0), "kernel");
	EXPECT_STREQ("kernel", at(p, 0)) << "an untouched private page is the driver's";
	std::strcpy(at(p, 0), "user");
	EXPECT_STREQ("kernel", kaddr(0)) << "a private write reached the driver's page";
	EXPECT_STREQ("user", at(p, 0));
	EXPECT_EQ(0, standin::user::munmap(p, kPage));
	EXPECT_EQ(0, standin::user::close(fd));
}

TEST_F(MmapTest, MappingHoldsItsFileUntilMunmap)
{
	int fd = standin::user::open("/dev/maptest", O_RDONLY);
	ASSERT_GE(fd, 0);
	void *p = map(fd, 2 * kPage, PROT_READ, MAP_PRIVATE);
	ASSERT_NE(MAP_FAILED, p);
	EXPECT_EQ(1u, standin::user::mappings());
	EXPECT_NE(std::string::npos, standin::mem::leak_report(before_).find("vm_area"));

	EXPECT_EQ(0, standin::user::close(fd));
	EXPECT_EQ(0, drv.releases) << "close released a file that is still mapped";
	EXPECT_EQ(1u, module_refcount(&fakeModule));
	EXPECT_EQ('a', *at(p, 0));
	EXPECT_EQ(0, standin::user::fault(at(p, 1)));

	// The driver's open is not called for the mapping mmap makes; its close
	// is called once, for that mapping, after the pages have left it.
	EXPECT_EQ(0, drv.vm_opens);
	EXPECT_EQ(0, drv.vm_closes);
	EXPECT_EQ(0, standin::user::munmap(p, 2 * kPage));
	EXPECT_EQ(1, drv.vm_closes);
	EXPECT_EQ(drv.vma, drv.closed);
	EXPECT_EQ(1, drv.page0_count_at_close);
	EXPECT_EQ(1, drv.releases);
	EXPECT_EQ(0u, module_refcount(&fakeModule));
	EXPECT_EQ(0u, standin::user::mappings());
}

TEST_F(MmapTest, UnmapAllTakesDownEveryMapping)
{
	int a = standin::user::open("/dev/maptest", O_RDONLY);
	int b = standin::user::open("/dev/maptest", O_RDWR);
	ASSERT_GE(a, 0);
	ASSERT_GE(b, 0);
	ASSERT_NE(MAP_FAILED, map(a, kPage, PROT_READ, MAP_PRIVATE));
	ASSERT_NE(MAP_FAILED, map(a, kPage, PROT_READ, MAP_PRIVATE, kPage));
	ASSERT_NE(MAP_FAILED, map(b, 2 * kPage, PROT_READ | PROT_WRITE, MAP_SHARED));
	EXPECT_EQ(0, standin::user::close(a));
	EXPECT_EQ(0, standin::user::close(b));
	EXPECT_EQ(0, drv.releases);
	EXPECT_EQ(3, page_count(drv.pages[0]));
	EXPECT_EQ(3, page_count(drv.pages[1]));
	EXPECT_EQ(1, page_count(drv.pages[2]));

	EXPECT_EQ(3, standin::user::munmap_all());
	EXPECT_EQ(3, drv.vm_closes);
	EXPECT_EQ(2, drv.releases);
	EXPECT_EQ(0u, standin::user::mappings());
	for (int i = 0; i < kPages; i++)
		EXPECT_EQ(1, page_count(drv.pages[i])) << "page " << i;
}

TEST_F(MmapTest, RefusedMmapLeavesNothingMapped)
{
	int fd = standin::user::open("/dev/maptest", O_RDWR);
	ASSERT_GE(fd, 0);
	drv.ops_before_refusal = true;	/* the operations must not be used */

	drv.mmap_result = -ENOMEM;
	expectMapFailure(map(fd, 2 * kPage, PROT_READ, MAP_PRIVATE), ENOMEM);
	// A positive answer is no mapping either, but as in the kernel it comes
	// back as mmap's result, as if it were an address: a driver that means
	// to refuse must answer with a negative errno.
	drv.mmap_result = 3;
	errno = 0;
	EXPECT_EQ(reinterpret_cast<void *>(3), map(fd, 2 * kPage, PROT_READ, MAP_PRIVATE));
	EXPECT_EQ(0, errno);

	EXPECT_EQ(2, drv.mmaps);
	EXPECT_EQ(0, drv.nopages);
	EXPECT_EQ(0, drv.vm_closes);
	EXPECT_EQ(0u, standin::user::mappings());
	EXPECT_EQ(1, page_count(drv.pages[0]));
	// The refused mappings hold no file reference: close releases it.
	EXPECT_EQ(0, standin::user::close(fd));
	EXPECT_EQ(1, drv.releases);
}

TEST_F(MmapTest, BadRequestsAreRefusedBeforeTheDriver)
{
	int fd = standin::user::open("/dev/maptest", O_RDWR);
	int bare = standin::user::open("/dev/mapbare", O_RDWR);
	ASSERT_GE(fd, 0);
	ASSERT_GE(bare, 0);

	expectMapFailure(map(999, kPage, PROT_READ, MAP_PRIVATE), EBADF);
	expectMapFailure(map(bare, kPage, PROT_READ, MAP_PRIVATE), ENODEV);
	expectMapFailure(map(fd, 0, PROT_READ, MAP_PRIVATE), EINVAL);
	expectMapFailure(map(fd, kPage, PROT_READ, MAP_PRIVATE, 100), EINVAL);
	expectMapFailure(map(fd, kPage, PROT_READ, MAP_PRIVATE, -static_cast<off_t>(kPage)), EINVAL);
	expectMapFailure(map(fd, kPage, PROT_READ, 0), EINVAL);
	expectMapFailure(map(fd, kPage, PROT_READ, MAP_SHARED | MAP_PRIVATE), EINVAL);
	expectMapFailure(map(fd, kPage, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS), EINVAL);
	expectMapFailure(map(fd, ~std::size_t{0} - 10, PROT_READ, MAP_PRIVATE), ENOMEM);
	char probe[1];
	expectMapFailure(standin::user::mmap(probe, kPage, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0),
			 EINVAL);
	EXPECT_EQ(0, drv.mmaps);
	EXPECT_EQ(0u, standin::user::mappings());

	EXPECT_EQ(0, standin::user::close(bare));
	EXPECT_EQ(0, standin::user::close(fd));
	EXPECT_EQ(1, drv.releases);
}

TEST_F(MmapTest, MunmapTakesOnlyWholeMappings)
{
	int fd = standin::user::open("/dev/maptest", O_RDONLY);
	ASSERT_GE(fd, 0);
	void *p = map(fd, 2 * kPage, PROT_READ, MAP_PRIVATE);
	ASSERT_NE(MAP_FAILED, p);

	expectFailure(standin::user::munmap(at(p, 0, 1), 2 * kPage), EINVAL);
	expectFailure(standin::user::munmap(p, 0), EINVAL);
	expectFailure(standin::user::munmap(p, kPage), EINVAL);
	expectFailure(standin::user::munmap(p, 3 * kPage), EINVAL);
	expectFailure(standin::user::munmap(at(p, 1), kPage), EINVAL);
	// Memory that is no device mapping stays as it is (the kernel's own here).
	expectFailure(standin::user::munmap(kaddr(0), kPage), EINVAL);
	EXPECT_EQ('a', *kaddr(0, kPage - 1));
	EXPECT_EQ(1u, standin::user::mappings());
	EXPECT_EQ(0, drv.vm_closes);
	EXPECT_EQ('b', *at(p, 1)) << "a refused munmap changed the mapping";

	// A length that rounds up to the mapping's is the whole mapping.
	EXPECT_EQ(0, standin::user::munmap(p, kPage + 1));
	expectFailure(standin::user::munmap(p, 2 * kPage), EINVAL);
	expectFailure(standin::user::fault(p), EFAULT);
	EXPECT_EQ(1, drv.vm_closes);
	EXPECT_EQ(0, standin::user::close(fd));
}

TEST_F(MmapTest, RefusedFaultIsABusError)
{
	int fd = standin::user::open("/dev/maptest", O_RDONLY);
	ASSERT_GE(fd, 0);
	drv.refuse[1] = Refusal::sigbus;
	drv.refuse[2] = Refusal::oom;
	void *p = map(fd, 3 * kPage, PROT_READ, MAP_PRIVATE);
	ASSERT_NE(MAP_FAILED, p) << "a refused fault failed the mmap";
	EXPECT_EQ(3, drv.nopages);
	EXPECT_EQ(1, page_count(drv.pages[1]));

	EXPECT_EQ(SIGBUS, standin::user::fault(at(p, 1)));
	EXPECT_EQ(SIGBUS, standin::user::fault(at(p, 2, 17)));
	EXPECT_EQ(0, touchInChild(at(p, 0, 5)));
	EXPECT_EQ(kBusStatus, touchInChild(at(p, 1, 5)));
	EXPECT_EQ(kBusStatus, touchInChild(at(p, 2)));
	expectFailure(standin::user::fault(at(p, 3)), EFAULT);
	expectFailure(standin::user::fault(nullptr), EFAULT);
	EXPECT_EQ(5, drv.nopages);

	// The driver supplies the page on a later fault: it is there now.
	drv.refuse[1] = Refusal::none;
	EXPECT_EQ(0, standin::user::fault(at(p, 1)));
	EXPECT_EQ('b', *at(p, 1, 5));
	EXPECT_EQ(2, page_count(drv.pages[1]));
	// And a page it refuses now is gone, with the reference it held.
	drv.refuse[0] = Refusal::sigbus;
	EXPECT_EQ(SIGBUS, standin::user::fault(at(p, 0)));
	EXPECT_EQ(1, page_count(drv.pages[0]));
	EXPECT_EQ(kBusStatus, touchInChild(at(p, 0)));

	EXPECT_EQ(0, standin::user::munmap(p, 3 * kPage));
	EXPECT_EQ(1, page_count(drv.pages[1]));
	EXPECT_EQ(0, standin::user::close(fd));
}

TEST_F(MmapTest, PageIsFreedByWhicheverReferenceGoesLast)
{
	using standin::mem::Kind;
	int fd = standin::user::open("/dev/maptest", O_RDONLY);
	ASSERT_GE(fd, 0);
	long pages = standin::mem::usage().live(Kind::page);

	// The driver lets go of page 0 first: the mapping keeps it alive.
	void *p = map(fd, 2 * kPage, PROT_READ, MAP_PRIVATE);
	ASSERT_NE(MAP_FAILED, p);
	__free_page(drv.pages[0]);
	EXPECT_EQ(pages, standin::mem::usage().live(Kind::page));
	EXPECT_EQ(1, page_count(drv.pages[0]));
	EXPECT_EQ('a', *at(p, 0, kPage - 1));
	EXPECT_EQ(0, standin::user::munmap(p, 2 * kPage));
	EXPECT_EQ(pages - 1, standin::mem::usage().live(Kind::page));
	drv.pages[0] = nullptr;

	// Unmapped first: the driver's own free frees page 1.
	p = map(fd, kPage, PROT_READ, MAP_PRIVATE, kPage);
	ASSERT_NE(MAP_FAILED, p);
	EXPECT_EQ(0, standin::user::munmap(p, kPage));
	EXPECT_EQ(pages - 1, standin::mem::usage().live(Kind::page));
	__free_page(drv.pages[1]);
	drv.pages[1] = nullptr;
	EXPECT_EQ(pages - 2, standin::mem::usage().live(Kind::page));
	EXPECT_EQ(0, standin::user::close(fd));
}

TEST_F(MmapTest, MappingWithoutNopageIsZeroedMemory)
{
	drv.set_ops = false;
	int fd = standin::user::open("/dev/maptest", O_RDWR);
	ASSERT_GE(fd, 0);
	void *p = map(fd, 2 * kPage, PROT_READ | PROT_WRITE, MAP_SHARED);
	ASSERT_NE(MAP_FAILED, p);
	EXPECT_EQ(0, *at(p, 1, 77));
	std::strcpy(at(p, 0), "anonymous");
	EXPECT_STREQ("anonymous", at(p, 0));
	EXPECT_EQ(1, page_count(drv.pages[0]));
	EXPECT_EQ(0, standin::user::munmap(p, 2 * kPage));
	EXPECT_EQ(0, standin::user::close(fd));
}

// Threads map, fault, write and unmap their own windows of the driver's
// pages while one thread keeps faulting a mapping of its own.
TEST_F(MmapTest, ConcurrentMappingsAndFaults)
{
	constexpr int kThreads = 3;
	constexpr int kRounds = 20;
	int fd = standin::user::open("/dev/maptest", O_RDWR);
	ASSERT_GE(fd, 0);
	void *mine = map(fd, kPage, PROT_READ, MAP_PRIVATE, 7 * kPage);
	ASSERT_NE(MAP_FAILED, mine);

	std::atomic<int> failures{0};
	std::atomic<bool> done{false};
	std::thread faulter([&] {
		while (!done)
			if (standin::user::fault(mine) != 0 || *at(mine, 0) != 'h')
				failures++;
	});
	std::vector<std::thread> workers;
	for (int t = 0; t < kThreads; t++) {
		workers.emplace_back([&, t] {
			for (int r = 0; r < kRounds; r++) {
				void *p = map(fd, 2 * kPage, PROT_READ | PROT_WRITE, MAP_SHARED,
					      2 * t * kPage);
				if (p == MAP_FAILED) {
					failures++;
					continue;
				}
				*at(p, 1, r) = static_cast<char>('A' + r);
				if (*kaddr(2 * t + 1, r) != 'A' + r || standin::user::fault(at(p, 0)))
					failures++;
				if (standin::user::munmap(p, 2 * kPage))
					failures++;
			}
		});
	}
	for (auto &w : workers)
		w.join();
	done = true;
	faulter.join();

	EXPECT_EQ(0, failures);
	EXPECT_EQ(1u, standin::user::mappings());
	EXPECT_EQ(kThreads * kRounds, drv.vm_closes);
	for (int t = 0; t < kThreads; t++)
		EXPECT_EQ(2 * kRounds, drv.hits[2 * t]) << "window " << t;
	EXPECT_EQ(0, standin::user::munmap(mine, kPage));
	EXPECT_EQ(0, standin::user::close(fd));
	for (int i = 0; i < kPages; i++)
		EXPECT_EQ(1, page_count(drv.pages[i])) << "page " << i;
	EXPECT_EQ(1, drv.releases);
}

}  // namespace
