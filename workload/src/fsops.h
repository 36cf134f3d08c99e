// The file-system changes the writer makes, with libext2fs.  None of them
// flushes: the caller ends every operation with flush_fs.  The caller
// serialises all calls on one file system (libext2fs is not thread-safe).
#pragma once
#include <ext2fs/ext2fs.h>

#include <cstdint>
#include <string>

namespace cowguard::workload::fsops {

// A new empty regular file `name` in directory parent; *ino its inode.
errcode_t create_file(ext2_filsys fs, ext2_ino_t parent, const std::string& name, ext2_ino_t* ino);
// Writes len bytes at off (the file grows when off + len is past its end).
errcode_t write_at(ext2_filsys fs, ext2_ino_t ino, std::uint64_t off, const void* data,
                   std::size_t len);
// Sets the file's size, freeing the blocks past it (or leaving a hole).
errcode_t truncate(ext2_filsys fs, ext2_ino_t ino, std::uint64_t size);
// Removes the entry and frees the file's blocks and inode.
errcode_t delete_file(ext2_filsys fs, ext2_ino_t parent, const std::string& name, ext2_ino_t ino);
// A new directory `name` in parent; *ino its inode.
errcode_t make_dir(ext2_filsys fs, ext2_ino_t parent, const std::string& name, ext2_ino_t* ino);
// Writes the bitmaps, super block and group descriptors.
errcode_t flush_fs(ext2_filsys fs);

}  // namespace cowguard::workload::fsops
