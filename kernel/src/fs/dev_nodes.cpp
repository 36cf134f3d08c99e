// Device nodes: a flat table of path -> character or block device number.
#include <map>
#include <mutex>
#include <string>

#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/kdev_t.h>

#include "fs/vfs.h"

namespace standin::vfs {
namespace {

// Protected by nodes_lock (a leaf lock).
std::mutex nodes_lock;
std::map<std::string, Node> &nodes()
{
	static std::map<std::string, Node> table;
	return table;
}

// The control device's node exists before any program runs, as a system's
// /dev would have it.
constexpr unsigned kControlMajor = 120;
struct ControlNode {
	ControlNode() { node_create("/dev/cowguard", 'c', MKDEV(kControlMajor, 0u)); }
} control_node;

}  // namespace

int node_create(const std::string &path, char type, dev_t dev)
{
	if (path.empty() || (type != 'c' && type != 'b'))
		return -EINVAL;
	std::lock_guard<std::mutex> guard(nodes_lock);
	if (!nodes().emplace(path, Node{type, dev}).second)
		return -EEXIST;
	return 0;
}

int node_lookup(const std::string &path, Node *out)
{
	std::lock_guard<std::mutex> guard(nodes_lock);
	auto it = nodes().find(path);
	if (it == nodes().end())
		return -ENOENT;
	*out = it->second;
	return 0;
}

}  // namespace standin::vfs
