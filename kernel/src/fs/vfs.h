// Internal interface between the character-device registry, the device
// node table, open files and the module loader.  Include after the standard
// headers (it pulls in the kernel headers).
#pragma once
#include <string>

#include <linux/fs.h>
#include <linux/module.h>

namespace standin::vfs {

// Limits of the character-device registry: a major owns minors 0..255, as
// register_chrdev gives them; dynamic majors are picked from the top down.
constexpr unsigned kChrdevMinors = 256;
constexpr unsigned kMaxMajor = (1u << (32 - MINORBITS)) - 1;
constexpr unsigned kDynamicMajors = 255;

// The driver of a character device number, with a reference taken on the
// driver's module (try_module_get(fops->owner)); the registry lock is held
// across the lookup and the get, so an unregistering driver is either seen
// with its module held or not seen at all.  0, or -ENXIO when no driver
// serves the number or its module is going away.
struct ChrdevRef {
	const struct file_operations *fops = nullptr;
	std::string name;
};
int chrdev_get(dev_t dev, ChrdevRef *out);

// Drops every registration whose operations belong to mod and reports each
// one in the kernel log; returns how many there were.  The loader calls it
// after a module's exit (or failed init) so that a driver that forgot to
// unregister cannot leave pointers into unmapped code behind.
int chrdev_forget_owner(struct module *mod);

// Device nodes: path -> type ('c' or 'b') and number.
struct Node {
	char type = 0;
	dev_t dev = 0;
};
// 0, -EEXIST, -EINVAL.
int node_create(const std::string &path, char type, dev_t dev);
// 0, or -ENOENT.
int node_lookup(const std::string &path, Node *out);

// Open files.  A file holds one reference per fd and one per system call in
// progress on it; the last fput calls release and drops the module
// reference taken at open.
struct file *fget(int fd);
void fput(struct file *file);
// The inode of an open file (each open has its own).
struct inode *file_inode(struct file *file);

// open and close behind the system calls: a new fd, or 0, or -errno.
int do_open(const char *path, int flags);
int do_close(int fd);

}  // namespace standin::vfs
