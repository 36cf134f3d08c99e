#ifndef _LINUX_MM_H
#define _LINUX_MM_H

#include <linux/version.h>
#include <linux/types.h>
#include <linux/gfp.h>
#include <asm/page.h>
#include <asm/atomic.h>

/*
 * A page frame.  Frames come from one pool of memory that the stand-in can
 * also map into user address ranges, so a user mapping of a frame shares its
 * bytes with the kernel's address of it (page_address).
 */
struct page {
	unsigned long flags;
	atomic_t _count;	/* references; the page is freed when it drops to 0 */
	atomic_t _mapcount;
	unsigned long private_;	/* owner's data (the kernel's "private"; see page_private) */
	void *mapping;
	unsigned long index;
	struct list_head lru;
	void *virtual_;		/* kernel address of the frame (the kernel's "virtual") */
};

struct mm_struct;
struct file;
struct vm_area_struct;

/* vm_flags */
#define VM_READ 0x00000001
#define VM_WRITE 0x00000002
#define VM_EXEC 0x00000004
#define VM_SHARED 0x00000008
#define VM_MAYREAD 0x00000010
#define VM_MAYWRITE 0x00000020
#define VM_MAYEXEC 0x00000040
#define VM_MAYSHARE 0x00000080
#define VM_IO 0x00004000
#define VM_DONTCOPY 0x00020000
#define VM_DONTEXPAND 0x00040000
#define VM_RESERVED 0x00080000

/* nopage() results besides a page */
#define NOPAGE_SIGBUS (NULL)
#define NOPAGE_OOM ((struct page *)(-1))

/* fault types a nopage() may report */
#define VM_FAULT_OOM 0x00
#define VM_FAULT_SIGBUS 0x01
#define VM_FAULT_MINOR 0x02
#define VM_FAULT_MAJOR 0x03

struct vm_operations_struct {
	void (*open)(struct vm_area_struct *area);
	void (*close)(struct vm_area_struct *area);
	struct page *(*nopage)(struct vm_area_struct *area, unsigned long address, int *type);
	int (*populate)(struct vm_area_struct *area, unsigned long address, unsigned long len,
			unsigned long prot, unsigned long pgoff, int nonblock);
};

/* One mapping of a user address space: [vm_start, vm_end). */
struct vm_area_struct {
	struct mm_struct *vm_mm;
	unsigned long vm_start;
	unsigned long vm_end;
	struct vm_area_struct *vm_next;
	unsigned long vm_page_prot;
	unsigned long vm_flags;
	struct vm_operations_struct *vm_ops;
	unsigned long vm_pgoff;		/* offset in PAGE_SIZE units */
	struct file *vm_file;
	void *vm_private_data;
};

__KERNEL_BEGIN_DECLS
void *page_address(struct page *page);
struct page *virt_to_page(const void *addr);
void get_page(struct page *page);
void put_page(struct page *page);
__KERNEL_END_DECLS

/* "private" and "virtual" are C++ keywords: the fields carry a trailing _. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
#define page_private(page) ((page)->private_)
#define set_page_private(page, v) ((page)->private_ = (v))
#endif

static inline int page_count(struct page *page)
{
	return atomic_read(&page->_count);
}

#endif
