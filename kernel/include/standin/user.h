// System calls of a user program on the stand-in.  They follow Linux's
// conventions: on failure -1 is returned and errno is set; a positive ioctl
// result is returned as it is.  File descriptors are the stand-in's own
// (they are not host file descriptors).
#pragma once
#include <cstddef>
#include <poll.h>
#include <sys/types.h>

namespace standin::user {

int open(const char* path, int flags);
int close(int fd);
ssize_t read(int fd, void* buf, std::size_t count);
ssize_t write(int fd, const void* buf, std::size_t count);
int poll(struct pollfd* fds, nfds_t nfds, int timeout_ms);
int ioctl(int fd, unsigned long cmd, unsigned long arg);
// Maps a device file.  The result is real memory of this process.
void* mmap(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset);
int munmap(void* addr, std::size_t length);
// Runs the page-fault path of a device mapping for the page at addr again
// (the driver's nopage).  0 when the driver supplied a page, SIGBUS when it
// refused (touching the page then raises a real SIGBUS), -1 with errno EFAULT
// when addr lies in no device mapping.
int fault(void* addr);
// Unmaps every device mapping, as a process exit would; how many there were.
int munmap_all();
// Device mappings that exist now.
std::size_t mappings();
// Creates a device node; type is 'c' (character) or 'b' (block).
int mknod(const char* path, char type, unsigned int major, unsigned int minor);

}  // namespace standin::user
