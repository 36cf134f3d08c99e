#include "fstree.h"

#include <et/com_err.h>
#include <ext2fs/ext2_err.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace cowguard::workload {
namespace {

constexpr unsigned kMaxDepth = 64;  // a loop in a damaged image stops here

struct WalkCtx {
  ext2_filsys fs;
  std::string prefix;
  std::vector<TreeEntry>* out;
  std::vector<std::pair<std::string, ext2_ino_t>> subdirs;
  errcode_t err = 0;
};

int collect(ext2_ino_t, int, struct ext2_dir_entry* dirent, int, int, char*, void* priv) {
  auto* ctx = static_cast<WalkCtx*>(priv);
  int len = ext2fs_dirent_name_len(dirent);
  std::string name(dirent->name, static_cast<std::size_t>(len));
  if (name == "." || name == ".." || dirent->inode == 0) return 0;
  TreeEntry e;
  e.path = ctx->prefix + "/" + name;
  e.ino = dirent->inode;
  struct ext2_inode inode;
  errcode_t err = ext2fs_read_inode(ctx->fs, e.ino, &inode);
  if (err) {
    ctx->err = err;
    return DIRENT_ABORT;
  }
  e.dir = LINUX_S_ISDIR(inode.i_mode);
  e.regular = LINUX_S_ISREG(inode.i_mode);
  if (e.dir) ctx->subdirs.emplace_back(e.path, e.ino);
  ctx->out->push_back(std::move(e));
  return 0;
}

errcode_t walk_dir(ext2_filsys fs, ext2_ino_t dir, const std::string& prefix, unsigned depth,
                   std::vector<TreeEntry>* out) {
  if (depth > kMaxDepth) return EXT2_ET_TOO_MANY_REFS;
  WalkCtx ctx{fs, prefix, out, {}, 0};
  errcode_t err = ext2fs_dir_iterate2(fs, dir, 0, nullptr, collect, &ctx);
  if (err) return err;
  if (ctx.err) return ctx.err;
  for (const auto& [path, ino] : ctx.subdirs) {
    err = walk_dir(fs, ino, path, depth + 1, out);
    if (err) return err;
  }
  return 0;
}

}  // namespace

errcode_t walk_tree(ext2_filsys fs, std::vector<TreeEntry>* out) {
  return walk_dir(fs, EXT2_ROOT_INO, "", 0, out);
}

errcode_t read_file(ext2_filsys fs, ext2_ino_t ino, std::vector<std::uint8_t>* data) {
  ext2_file_t file;
  errcode_t err = ext2fs_file_open(fs, ino, 0, &file);
  if (err) return err;
  __u64 size = 0;
  err = ext2fs_file_get_lsize(file, &size);
  if (!err) data->assign(size, 0);
  std::uint64_t done = 0;
  while (!err && done < size) {
    unsigned int got = 0;
    unsigned int want = static_cast<unsigned int>(std::min<std::uint64_t>(size - done, 1 << 20));
    err = ext2fs_file_read(file, data->data() + done, want, &got);
    if (!err && got == 0) err = EXT2_ET_SHORT_READ;
    done += got;
  }
  errcode_t cerr = ext2fs_file_close(file);
  return err ? err : cerr;
}

std::string ext2_error(const std::string& what, errcode_t code) {
  static std::once_flag tables;
  std::call_once(tables, [] { initialize_ext2_error_table(); });
  return what + ": " + error_message(code);
}

}  // namespace cowguard::workload
