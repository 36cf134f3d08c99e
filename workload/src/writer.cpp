// The live writer: a model of the files it wrote, worker threads running one
// operation at a time on the libext2fs file system, and the lock hooks that
// quiesce it at the frozen instant of freeze_bdev.
//
// Locking: op_m guards the file system handle, the model, the generator,
// `frozen`, `failed` and `error`; it is held for a whole operation including
// its flush, and by the lockfs hook while it records the instant, so the
// instant always falls between operations.  A worker waits on op_cv for a
// thaw.  inst_m guards the recorded instants and is taken after op_m.
// The lockfs hook runs in the freezing task with bd_mount_sem and s_umount
// held; the writer's own I/O (rw_sectors) waits for neither, so a freeze
// waiting for op_m cannot block the operation that holds it.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include "blkio.h"
#include "fsops.h"
#include "fstree.h"
#include "workload/workload.h"

namespace cowguard::workload {

namespace {

struct ModelFile {
  ext2_ino_t ino = 0;
  ext2_ino_t parent = 0;
  std::string name;
  std::vector<std::uint8_t> data;
  std::uint64_t sum = 0;
  bool sum_valid = false;
};

enum class Op { create, append, overwrite, truncate, remove, mkdir };

std::string parent_path(const std::string& path) { return path.substr(0, path.rfind('/')); }
std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }
unsigned depth_of(const std::string& path) {
  return static_cast<unsigned>(std::count(path.begin(), path.end(), '/'));
}

}  // namespace

struct Ext4Workload::Impl {
  block::devnum dev = 0;
  WorkloadOptions opts;
  ext2_filsys fs = nullptr;
  bool hooks = false;
  std::time_t base_time = 0;

  mutable std::mutex op_m;
  std::condition_variable op_cv;
  bool frozen = false;     // between lockfs and unlockfs.  Protected by op_m
  bool failed = false;     // Protected by op_m
  bool stopping = false;   // Protected by op_m
  std::string error;       // Protected by op_m
  std::mt19937_64 rng;     // Protected by op_m
  std::map<std::string, ModelFile> files;  // by path.  Protected by op_m
  std::map<std::string, ext2_ino_t> dirs;  // by path, root excluded.  Protected by op_m
  std::uint64_t next_name = 0;             // Protected by op_m
  std::atomic<std::uint64_t> ops{0};
  // Freezes waiting for op_m: workers let them in first (a mutex is not
  // fair, and a worker would otherwise take it again at once).
  std::atomic<int> freezes_waiting{0};

  mutable std::mutex inst_m;
  std::condition_variable inst_cv;
  std::vector<FrozenInstant> instants;  // Protected by inst_m
  unsigned recorded = 0;                // Protected by inst_m
  unsigned seq = 0;                     // Protected by op_m
  std::atomic<bool> keep_device{true};

  std::mutex run_m;  // serialises start and stop
  std::vector<std::thread> threads;  // Protected by run_m

  // ---- model ----

  ext2_ino_t dir_ino(const std::string& path) const {
    if (path.empty()) return EXT2_ROOT_INO;
    auto it = dirs.find(path);
    return it == dirs.end() ? 0 : it->second;
  }

  errcode_t load_model() {
    std::vector<TreeEntry> tree;
    errcode_t err = walk_tree(fs, &tree);
    if (err) return err;
    for (auto& e : tree) {
      if (e.dir) {
        dirs[e.path] = e.ino;
      } else if (e.regular) {
        ModelFile f;
        f.ino = e.ino;
        f.name = base_name(e.path);
        err = read_file(fs, e.ino, &f.data);
        if (err) return err;
        files[e.path] = std::move(f);
      }
    }
    for (auto& [path, f] : files) f.parent = dir_ino(parent_path(path));
    return 0;
  }

  FrozenInstant build_instant(bool with_device) {  // holding op_m
    FrozenInstant fi;
    fi.ops_done = ops.load();
    for (auto& [path, f] : files) {
      if (!f.sum_valid) {
        f.sum = checksum(f.data.data(), f.data.size());
        f.sum_valid = true;
      }
      fi.files.push_back({path, f.data.size(), f.sum});
    }
    for (const auto& d : dirs) fi.dirs.push_back(d.first);
    if (with_device) fi.device = block::device_bytes(dev);
    if (!opts.block_sums_dir.empty()) record_block_sums(&fi);
    return fi;
  }

  // Writes the checksums of the blocks the file system uses (its block
  // bitmap, flushed at the end of every operation, and the blocks before
  // the first data block) read from the device.  Leaves block_sums_file
  // empty when the record cannot be written.
  void record_block_sums(FrozenInstant* fi) {  // holding op_m
    const std::uint32_t bs = fs->blocksize;
    const blk64_t count = ext2fs_blocks_count(fs->super);
    const std::string path = opts.block_sums_dir + "/instant-" + std::to_string(seq) + ".sums";
    std::FILE* f = std::fopen(path.c_str(), "wbe");
    if (!f) return;
    constexpr blk64_t kRun = 256;
    std::vector<std::uint8_t> buf(kRun * bs);
    std::uint64_t used = 0;
    bool ok = true;
    auto is_used = [&](blk64_t b) {
      return b < fs->super->s_first_data_block || ext2fs_test_block_bitmap2(fs->block_map, b);
    };
    for (blk64_t first = 0; ok && first < count; first += kRun) {
      const blk64_t n = std::min(kRun, count - first);
      bool any = false;
      for (blk64_t b = first; b < first + n && !any; b++) any = is_used(b);
      if (!any) continue;
      if (!block::read_device(dev, first * bs, buf.data(), n * bs)) {
        ok = false;
        break;
      }
      for (blk64_t b = first; b < first + n; b++) {
        if (!is_used(b)) continue;
        std::uint64_t rec[2] = {b, checksum(buf.data() + (b - first) * bs, bs)};
        ok = ok && std::fwrite(rec, sizeof rec, 1, f) == 1;
        used++;
      }
    }
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
      std::remove(path.c_str());
      return;
    }
    fi->block_sums_file = path;
    fi->block_size = bs;
    fi->used_blocks = used;
  }

  // ---- operations (holding op_m) ----

  std::uint64_t pick(std::uint64_t n) { return n ? rng() % n : 0; }

  std::uint64_t pick_size(std::uint64_t max) {
    if (max == 0) return 0;
    unsigned bits = 0;
    while (bits < 63 && (2ULL << bits) <= max) bits++;
    std::uint64_t cap = std::min<std::uint64_t>(max, (2ULL << pick(bits + 1)) - 1);
    return 1 + pick(cap);
  }

  void fill(std::uint8_t* p, std::size_t len) {
    for (std::size_t i = 0; i < len; i += 8) {
      std::uint64_t v = rng();
      std::memcpy(p + i, &v, std::min<std::size_t>(8, len - i));
    }
  }

  std::map<std::string, ModelFile>::iterator random_file() {
    auto it = files.begin();
    std::advance(it, static_cast<long>(pick(files.size())));
    return it;
  }

  std::string new_name(const std::string& parent, char kind) {
    for (;;) {
      std::string path = parent + "/" + kind + std::to_string(next_name++);
      if (!files.count(path) && !dirs.count(path)) return path;
    }
  }

  // Whether len more bytes of data leave the reserve free.
  bool room_for(std::uint64_t len) const {
    std::uint64_t bs = fs->blocksize;
    std::uint64_t need = (len + bs - 1) / bs + 8;  // extent and directory blocks
    return ext2fs_free_blocks_count(fs->super) >= need + opts.reserve_blocks;
  }

  Op choose() {
    std::uint64_t r = pick(100);
    Op op = r < 30 ? Op::create
          : r < 50 ? Op::append
          : r < 68 ? Op::overwrite
          : r < 80 ? Op::truncate
          : r < 95 ? Op::remove
                   : Op::mkdir;
    if (op == Op::mkdir && dirs.size() >= opts.max_dirs) op = Op::overwrite;
    if (op == Op::create && files.size() >= opts.max_files) op = Op::remove;
    if (files.empty() && op != Op::mkdir) op = Op::create;
    return op;
  }

  errcode_t do_create(std::string* what) {
    std::vector<std::string> parents{""};
    for (const auto& d : dirs) parents.push_back(d.first);
    std::string parent = parents[pick(parents.size())];
    std::string path = new_name(parent, 'f');
    std::vector<std::uint8_t> data(pick_size(opts.max_file_size));
    fill(data.data(), data.size());
    *what = "create " + path;
    if (!room_for(data.size())) return files.empty() ? 0 : do_remove(what);
    ModelFile f;
    f.parent = dir_ino(parent);
    f.name = base_name(path);
    errcode_t err = fsops::create_file(fs, f.parent, f.name, &f.ino);
    if (!err) err = fsops::write_at(fs, f.ino, 0, data.data(), data.size());
    if (err) return err;
    f.data = std::move(data);
    files[path] = std::move(f);
    return 0;
  }

  errcode_t do_append(std::string* what) {
    auto it = random_file();
    ModelFile& f = it->second;
    std::uint64_t size = f.data.size();
    if (size >= opts.max_file_size) return do_overwrite(what);
    std::vector<std::uint8_t> data(pick_size(opts.max_file_size - size));
    fill(data.data(), data.size());
    *what = "append " + it->first;
    if (!room_for(data.size())) return do_remove(what);
    errcode_t err = fsops::write_at(fs, f.ino, size, data.data(), data.size());
    if (err) return err;
    f.data.insert(f.data.end(), data.begin(), data.end());
    f.sum_valid = false;
    return 0;
  }

  errcode_t do_overwrite(std::string* what) {
    auto it = random_file();
    ModelFile& f = it->second;
    std::uint64_t size = f.data.size();
    *what = "overwrite " + it->first;
    if (size == 0) return 0;
    std::uint64_t off = pick(size);
    std::vector<std::uint8_t> data(pick_size(size - off));
    fill(data.data(), data.size());
    errcode_t err = fsops::write_at(fs, f.ino, off, data.data(), data.size());
    if (err) return err;
    std::copy(data.begin(), data.end(), f.data.begin() + static_cast<long>(off));
    f.sum_valid = false;
    return 0;
  }

  errcode_t do_truncate(std::string* what) {
    auto it = random_file();
    ModelFile& f = it->second;
    std::uint64_t size = pick(f.data.size() + 1);  // 0 .. the size
    *what = "truncate " + it->first + " to " + std::to_string(size);
    errcode_t err = fsops::truncate(fs, f.ino, size);
    if (err) return err;
    f.data.resize(size);
    f.sum_valid = false;
    return 0;
  }

  errcode_t do_remove(std::string* what) {
    auto it = random_file();
    *what = "delete " + it->first;
    errcode_t err = fsops::delete_file(fs, it->second.parent, it->second.name, it->second.ino);
    if (err) return err;
    files.erase(it);
    return 0;
  }

  errcode_t do_mkdir(std::string* what) {
    std::vector<std::string> parents{""};
    for (const auto& d : dirs)
      if (depth_of(d.first) < 2) parents.push_back(d.first);
    std::string path = new_name(parents[pick(parents.size())], 'd');
    *what = "mkdir " + path;
    if (!room_for(0)) return 0;
    ext2_ino_t ino = 0;
    errcode_t err = fsops::make_dir(fs, dir_ino(parent_path(path)), base_name(path), &ino);
    if (err) return err;
    dirs[path] = ino;
    return 0;
  }

  // One operation and its flush.  false when it failed (the workload stops).
  bool run_one() {  // holding op_m, not frozen
    fs->now = base_time + static_cast<std::time_t>(ops.load() / 64);
    std::string what;
    errcode_t err = 0;
    switch (choose()) {
      case Op::create: err = do_create(&what); break;
      case Op::append: err = do_append(&what); break;
      case Op::overwrite: err = do_overwrite(&what); break;
      case Op::truncate: err = do_truncate(&what); break;
      case Op::remove: err = do_remove(&what); break;
      case Op::mkdir: err = do_mkdir(&what); break;
    }
    if (!err) err = fsops::flush_fs(fs);
    if (err) {
      failed = true;
      error = ext2_error(what, err);
      return false;
    }
    ops.fetch_add(1);
    return true;
  }

  // Waits for a thaw and runs one operation; false when it did not run one
  // (stopping or failed).
  bool step(std::unique_lock<std::mutex>& lk, bool honour_stop) {
    op_cv.wait(lk, [&] {
      return failed || (honour_stop && stopping) || (!frozen && freezes_waiting.load() == 0);
    });
    if (failed || (honour_stop && stopping)) return false;
    bool ok = run_one();
    op_cv.notify_all();
    return ok;
  }

  void worker() {
    for (;;) {
      {
        std::unique_lock lk(op_m);
        if (!step(lk, true)) return;
      }
      if (opts.pause_us) {
        std::unique_lock lk(op_m);
        op_cv.wait_for(lk, std::chrono::microseconds(opts.pause_us), [&] { return stopping; });
        if (stopping) return;
      }
    }
  }

  // ---- lock hooks ----

  void on_lockfs() {
    freezes_waiting.fetch_add(1);
    std::unique_lock lk(op_m);  // the operation running ends first
    freezes_waiting.fetch_sub(1);
    frozen = true;
    FrozenInstant fi = build_instant(keep_device.load());
    fi.seq = seq++;
    lk.unlock();
    {
      std::lock_guard ilk(inst_m);
      instants.push_back(std::move(fi));
      recorded++;
    }
    inst_cv.notify_all();
  }

  void on_unlockfs() {
    {
      std::lock_guard lk(op_m);
      frozen = false;
    }
    op_cv.notify_all();
  }
};

Ext4Workload::Ext4Workload(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<Ext4Workload> Ext4Workload::open(block::devnum part, const WorkloadOptions& opts,
                                                 std::string* err) {
  auto fail = [err](const std::string& what) -> std::unique_ptr<Ext4Workload> {
    if (err) *err = what;
    return nullptr;
  };
  auto impl = std::make_unique<Impl>();
  impl->dev = part;
  impl->opts = opts;
  impl->rng.seed(opts.seed);
  impl->keep_device = opts.keep_device_bytes;
  std::string name = blkio_name(part);
  errcode_t e = ext2fs_open2(name.c_str(), nullptr, EXT2_FLAG_RW | EXT2_FLAG_64BITS, 0, 0,
                             standin_io_manager, &impl->fs);
  if (e) return fail(ext2_error("cannot open the file system on " + name, e));
  ext2_filsys fs = impl->fs;
  // Like a mounted kernel file system, keep the backup super blocks as mke2fs
  // wrote them.
  fs->flags |= EXT2_FLAG_MASTER_SB_ONLY;
  e = ext2fs_read_bitmaps(fs);
  if (!e) e = impl->load_model();
  if (e) {
    ext2fs_free(fs);
    return fail(ext2_error("cannot read the file system on " + name, e));
  }
  impl->base_time = std::max<std::time_t>({fs->super->s_wtime, fs->super->s_mtime,
                                           fs->super->s_mkfs_time}) + 1;

  std::unique_ptr<Ext4Workload> w(new Ext4Workload(std::move(impl)));
  Impl* p = w->impl_.get();
  p->hooks = block::set_lockfs_hooks(
      part, {[p](block::devnum) { p->on_lockfs(); }, [p](block::devnum) { p->on_unlockfs(); }});
  // Checked after the hooks are in: a freeze that reached its lockfs before
  // them still shows as frozen here, any later one calls them.
  block::FsInfo info;
  if (p->hooks && block::fs_info(part, &info) && info.frozen) {
    w.reset();
    return fail("the file system is frozen");
  }
  return w;
}

Ext4Workload::~Ext4Workload() {
  stop();
  if (impl_->hooks) block::set_lockfs_hooks(impl_->dev, {});
  bool clean;
  {
    std::lock_guard lk(impl_->op_m);
    clean = !impl_->failed && !impl_->frozen;
  }
  // Every operation flushed what it changed; a close would write nothing
  // more, but must not try to while the device is frozen or after a fault.
  if (clean)
    ext2fs_close2(impl_->fs, 0);
  else
    ext2fs_free(impl_->fs);
}

void Ext4Workload::start() {
  std::lock_guard rl(impl_->run_m);
  if (!impl_->threads.empty()) return;
  {
    std::lock_guard lk(impl_->op_m);
    impl_->stopping = false;
  }
  for (unsigned i = 0; i < std::max(1u, impl_->opts.threads); i++)
    impl_->threads.emplace_back([p = impl_.get()] { p->worker(); });
}

void Ext4Workload::stop() {
  std::lock_guard rl(impl_->run_m);
  {
    std::lock_guard lk(impl_->op_m);
    impl_->stopping = true;
  }
  impl_->op_cv.notify_all();
  for (auto& t : impl_->threads) t.join();
  impl_->threads.clear();
}

bool Ext4Workload::running() const {
  std::lock_guard rl(impl_->run_m);
  return !impl_->threads.empty();
}

bool Ext4Workload::run(std::uint64_t n) {
  std::unique_lock lk(impl_->op_m);
  for (std::uint64_t i = 0; i < n; i++)
    if (!impl_->step(lk, false)) return false;
  return !impl_->failed;
}

bool Ext4Workload::wait_for_operations(std::uint64_t n, std::chrono::milliseconds timeout) {
  std::unique_lock lk(impl_->op_m);
  return impl_->op_cv.wait_for(lk, timeout, [&] {
    return impl_->ops.load() >= n || impl_->failed;
  }) && impl_->ops.load() >= n;
}

bool Ext4Workload::wait_for_instants(unsigned n, std::chrono::milliseconds timeout) {
  std::unique_lock lk(impl_->inst_m);
  return impl_->inst_cv.wait_for(lk, timeout, [&] { return impl_->recorded >= n; });
}

std::vector<FrozenInstant> Ext4Workload::take_instants() {
  std::lock_guard lk(impl_->inst_m);
  return std::exchange(impl_->instants, {});
}

void Ext4Workload::set_keep_device_bytes(bool keep) { impl_->keep_device = keep; }

FrozenInstant Ext4Workload::snapshot_now(bool with_device) {
  std::lock_guard lk(impl_->op_m);
  return impl_->build_instant(with_device);
}

std::uint64_t Ext4Workload::operations() const { return impl_->ops.load(); }

unsigned Ext4Workload::instants_recorded() const {
  std::lock_guard lk(impl_->inst_m);
  return impl_->recorded;
}

bool Ext4Workload::frozen() const {
  std::lock_guard lk(impl_->op_m);
  return impl_->frozen;
}

std::string Ext4Workload::error() const {
  std::lock_guard lk(impl_->op_m);
  return impl_->error;
}

}  // namespace cowguard::workload
