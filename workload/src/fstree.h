// Reading an ext2/3/4 file system with libext2fs: the tree of regular files
// and directories, and a file's contents.
#pragma once
#include <ext2fs/ext2fs.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cowguard::workload {

struct TreeEntry {
  std::string path;  // absolute
  ext2_ino_t ino = 0;
  bool dir = false;
  bool regular = false;  // false for a directory and any other kind
};

// Every entry below the root (depth first); the root itself is not listed.
errcode_t walk_tree(ext2_filsys fs, std::vector<TreeEntry>* out);

// The contents of the regular file ino (its size, holes read as zeros).
errcode_t read_file(ext2_filsys fs, ext2_ino_t ino, std::vector<std::uint8_t>* data);

// "what: libext2fs message".
std::string ext2_error(const std::string& what, errcode_t code);

}  // namespace cowguard::workload
