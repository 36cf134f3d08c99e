#include "fsops.h"

#include <algorithm>
#include <ctime>

namespace cowguard::workload::fsops {
namespace {

std::uint32_t now(ext2_filsys fs) {
  return static_cast<std::uint32_t>(fs->now ? fs->now : std::time(nullptr));
}

// Adds the entry, growing the directory by a block when it is full.
errcode_t link_entry(ext2_filsys fs, ext2_ino_t parent, const std::string& name, ext2_ino_t ino,
                     int type) {
  errcode_t err = ext2fs_link(fs, parent, name.c_str(), ino, type);
  if (err == EXT2_ET_DIR_NO_SPACE) {
    err = ext2fs_expand_dir(fs, parent);
    if (!err) err = ext2fs_link(fs, parent, name.c_str(), ino, type);
  }
  return err;
}

// Sets the modification times of an inode that changed.
errcode_t touch(ext2_filsys fs, ext2_ino_t ino) {
  struct ext2_inode inode;
  errcode_t err = ext2fs_read_inode(fs, ino, &inode);
  if (err) return err;
  inode.i_mtime = inode.i_ctime = now(fs);
  return ext2fs_write_inode(fs, ino, &inode);
}

}  // namespace

errcode_t create_file(ext2_filsys fs, ext2_ino_t parent, const std::string& name, ext2_ino_t* out) {
  constexpr int kMode = LINUX_S_IFREG | 0644;
  ext2_ino_t ino = 0;
  errcode_t err = ext2fs_new_inode(fs, parent, kMode, nullptr, &ino);
  if (err) return err;
  err = link_entry(fs, parent, name, ino, EXT2_FT_REG_FILE);
  if (err) return err;
  ext2fs_inode_alloc_stats2(fs, ino, +1, 0);

  struct ext2_inode inode = {};
  inode.i_mode = kMode;
  inode.i_links_count = 1;
  inode.i_atime = inode.i_ctime = inode.i_mtime = now(fs);
  if (ext2fs_has_feature_extents(fs->super)) {
    // Opening the extent tree of an empty inode gives it an empty root.
    ext2_extent_handle_t handle;
    err = ext2fs_extent_open2(fs, ino, &inode, &handle);
    if (err) return err;
    ext2fs_extent_free(handle);
  }
  err = ext2fs_write_new_inode(fs, ino, &inode);
  if (err) return err;
  *out = ino;
  return touch(fs, parent);
}

errcode_t write_at(ext2_filsys fs, ext2_ino_t ino, std::uint64_t off, const void* data,
                   std::size_t len) {
  ext2_file_t file;
  errcode_t err = ext2fs_file_open(fs, ino, EXT2_FILE_WRITE, &file);
  if (err) return err;
  err = ext2fs_file_llseek(file, off, EXT2_SEEK_SET, nullptr);
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::size_t done = 0;
  while (!err && done < len) {
    unsigned int wrote = 0;
    unsigned int want = static_cast<unsigned int>(std::min<std::size_t>(len - done, 1u << 20));
    err = ext2fs_file_write(file, p + done, want, &wrote);
    if (!err && wrote == 0) err = EXT2_ET_SHORT_WRITE;
    done += wrote;
  }
  __u64 size = 0;
  if (!err) err = ext2fs_file_get_lsize(file, &size);
  if (!err && off + len > size) err = ext2fs_file_set_size2(file, off + len);
  errcode_t cerr = ext2fs_file_close(file);
  if (err || cerr) return err ? err : cerr;
  return touch(fs, ino);
}

errcode_t truncate(ext2_filsys fs, ext2_ino_t ino, std::uint64_t size) {
  ext2_file_t file;
  errcode_t err = ext2fs_file_open(fs, ino, EXT2_FILE_WRITE, &file);
  if (err) return err;
  err = ext2fs_file_set_size2(file, size);
  errcode_t cerr = ext2fs_file_close(file);
  if (err || cerr) return err ? err : cerr;
  return touch(fs, ino);
}

errcode_t delete_file(ext2_filsys fs, ext2_ino_t parent, const std::string& name, ext2_ino_t ino) {
  errcode_t err = truncate(fs, ino, 0);
  if (err) return err;
  err = ext2fs_unlink(fs, parent, name.c_str(), ino, 0);
  if (err) return err;
  struct ext2_inode inode;
  err = ext2fs_read_inode(fs, ino, &inode);
  if (err) return err;
  inode.i_links_count = 0;
  inode.i_dtime = now(fs);
  err = ext2fs_write_inode(fs, ino, &inode);
  if (err) return err;
  ext2fs_inode_alloc_stats2(fs, ino, -1, 0);
  return touch(fs, parent);
}

errcode_t make_dir(ext2_filsys fs, ext2_ino_t parent, const std::string& name, ext2_ino_t* ino) {
  errcode_t err = ext2fs_mkdir(fs, parent, 0, name.c_str());
  if (err == EXT2_ET_DIR_NO_SPACE) {
    err = ext2fs_expand_dir(fs, parent);
    if (!err) err = ext2fs_mkdir(fs, parent, 0, name.c_str());
  }
  if (err) return err;
  return ext2fs_lookup(fs, parent, name.c_str(), static_cast<int>(name.size()), nullptr, ino);
}

errcode_t flush_fs(ext2_filsys fs) {
  errcode_t err = ext2fs_write_bitmaps(fs);
  if (err) return err;
  return ext2fs_flush(fs);
}

}  // namespace cowguard::workload::fsops
