#include "backup.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include "bitmap.h"
#include "fsmap.h"

namespace cowguard::agent {

namespace fs = std::filesystem;

std::uint32_t default_max_cache_blocks(std::uint32_t total_blocks, std::uint32_t block_size) {
  std::uint64_t cap = (64ull << 20) / std::max<std::uint32_t>(block_size, 512);
  cap = std::max<std::uint64_t>(cap, 1024);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(cap, std::max<std::uint32_t>(total_blocks, 1)));
}

namespace {

// Where the blocks go: the full image or the delta file.
using Output = std::variant<ImageWriter*, DeltaWriter*>;

void put(const Output& out, std::uint32_t first, std::uint32_t count, const std::uint8_t* data) {
  std::visit([&](auto* w) { w->put(first, count, data); }, out);
}

// Reads the wanted runs into the two windows in turn while a writer thread
// writes them out, in the order they were read.  A window is refilled only
// after the writer has given it back.  Short runs (a scattered incremental
// is mostly one-block runs) are gathered: each is copied out of its window
// into one of two batch buffers of a window's size, and a batch goes to the
// writer whole, so that the writer is woken once a batch, not once a block.
class Pipeline {
 public:
  Pipeline(ControlDevice& dev, Window (&w)[2], std::uint32_t block_size, const Output& out,
           std::uint64_t total, const std::function<void(std::uint64_t, std::uint64_t)>& progress)
      : dev_(dev), w_(w), bs_(block_size), out_(out), total_(total), progress_(progress) {
    for (auto& b : batch_) b.bytes.resize(w_[0].size());
    writer_ = std::thread([this] { write_loop(); });
  }
  ~Pipeline() { stop(); }

  void read(std::uint32_t first, std::uint32_t count) {
    check_interrupt();
    const std::size_t bytes = static_cast<std::size_t>(count) * bs_;
    const bool gather = bytes <= w_[0].size() / 8;
    if (!gather) hand_off_batch();  // the writer keeps the order of the reads
    wait_free([&] { return !window_busy_[next_]; });
    dev_.read_blocks(first, count, w_[next_]);
    if (gather) {
      Batch* b = &batch_[cur_];
      if (b->used + bytes > b->bytes.size()) {
        hand_off_batch();
        b = &batch_[cur_];
      }
      if (b->used == 0) wait_free([&] { return !b->busy; });
      std::memcpy(b->bytes.data() + b->used, w_[next_].data(), bytes);
      b->used += bytes;
      b->runs.push_back({first, count});
      return;  // the window stays ours
    }
    {
      std::lock_guard lk(m_);
      window_busy_[next_] = true;
      queue_.push_back(Item{next_, -1, {{first, count}}});
    }
    cv_.notify_all();
    next_ ^= 1;
  }

  // Waits until everything read is written; rethrows the writer's failure.
  void finish() {
    hand_off_batch();
    {
      std::lock_guard lk(m_);
      done_ = true;
    }
    cv_.notify_all();
    if (writer_.joinable()) writer_.join();
    if (werr_) std::rethrow_exception(werr_);
  }

 private:
  struct Run {
    std::uint32_t first, count;
  };
  // What the writer writes next: a window, or a batch buffer; its runs.
  struct Item {
    int window = -1;
    int batch = -1;
    std::vector<Run> runs;
  };
  struct Batch {
    std::vector<std::uint8_t> bytes;
    std::size_t used = 0;     // reader only
    std::vector<Run> runs;    // reader only
    bool busy = false;        // with the writer; guarded by m_
  };

  template <class Pred>
  void wait_free(Pred pred) {
    std::unique_lock lk(m_);
    cv_.wait(lk, [&] { return pred() || werr_; });
    if (werr_) std::rethrow_exception(werr_);
  }

  void hand_off_batch() {
    Batch& b = batch_[cur_];
    if (b.used == 0) return;
    {
      std::lock_guard lk(m_);
      b.busy = true;
      queue_.push_back(Item{-1, cur_, std::move(b.runs)});
    }
    cv_.notify_all();
    b.runs.clear();
    b.used = 0;
    cur_ ^= 1;
  }

  void stop() {
    {
      std::lock_guard lk(m_);
      done_ = true;
      abort_ = true;
    }
    cv_.notify_all();
    if (writer_.joinable()) writer_.join();
  }

  void write_loop() {
    try {
      std::uint64_t written = 0;
      if (progress_) progress_(0, total_);
      for (;;) {
        Item it;
        {
          std::unique_lock lk(m_);
          cv_.wait(lk, [&] { return !queue_.empty() || done_ || abort_; });
          if (abort_ || queue_.empty()) return;
          it = std::move(queue_.front());
          queue_.pop_front();
        }
        const std::uint8_t* data = it.window >= 0 ? w_[it.window].data() : batch_[it.batch].bytes.data();
        for (const Run& r : it.runs) {
          put(out_, r.first, r.count, data);
          data += static_cast<std::size_t>(r.count) * bs_;
          written += r.count;
        }
        {
          std::lock_guard lk(m_);
          if (it.window >= 0) window_busy_[it.window] = false;
          else batch_[it.batch].busy = false;
        }
        cv_.notify_all();
        if (progress_) progress_(written, total_);
      }
    } catch (...) {
      {
        std::lock_guard lk(m_);
        werr_ = std::current_exception();
      }
      cv_.notify_all();
    }
  }

  ControlDevice& dev_;
  Window (&w_)[2];
  std::uint32_t bs_;
  Output out_;
  std::uint64_t total_;
  const std::function<void(std::uint64_t, std::uint64_t)>& progress_;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<Item> queue_;          // guarded by m_
  bool window_busy_[2] = {false, false};  // guarded by m_
  Batch batch_[2];
  int next_ = 0;  // the window the next read goes to (reader only)
  int cur_ = 0;   // the batch being gathered (reader only)
  bool done_ = false;
  bool abort_ = false;
  std::exception_ptr werr_;
  std::thread writer_;
};

// Reads bytes of the snapshot before the wanted map is loaded (state 4:
// preserved copies are read, not consumed) through one window.
class SnapshotBytes {
 public:
  SnapshotBytes(ControlDevice& dev, const Window& w, std::uint32_t bs, std::uint32_t total)
      : dev_(dev), w_(w), bs_(bs), total_(total), per_window_(static_cast<std::uint32_t>(w.size() / bs)) {}

  void operator()(std::uint64_t offset, void* buf, std::size_t len) const {
    auto* out = static_cast<std::uint8_t*>(buf);
    while (len) {
      std::uint64_t first = offset / bs_;
      std::uint64_t last = (offset + len - 1) / bs_;
      std::uint64_t count = std::min<std::uint64_t>(last - first + 1, per_window_);
      if (first + count > total_) throw std::out_of_range("read beyond the end of the device");
      dev_.read_blocks(static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(count), w_);
      std::uint64_t skip = offset - first * bs_;
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(len, count * bs_ - skip));
      std::memcpy(out, w_.data() + skip, n);
      out += n;
      offset += n;
      len -= n;
    }
  }

 private:
  ControlDevice& dev_;
  const Window& w_;
  std::uint64_t bs_;
  std::uint32_t total_;
  std::uint32_t per_window_;
};

// Why the module's tracking session cannot give a changed-block map, seen
// before the snapshot; empty when it looks usable.
std::string automap_unusable(const AutoMapState& s, std::uint32_t total) {
  if (s.state == CGD_AUTOMAP_NOT_IN_SYNC && s.mapLen == 0)
    return "the module has no tracking session for the device (reloaded, or tracking was stopped)";
  if (s.state != CGD_AUTOMAP_IN_SYNC) return "the tracking session is out of sync (writes were missed)";
  if (s.mapLen != total) return "the device was resized since the last backup";
  return {};
}

double seconds(const StatsTime& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9; }

// A directory the backup made, removed again unless the backup commits.
class MadeDir {
 public:
  explicit MadeDir(const fs::path& dir) : dir_(dir), made_(make_backup_dir(dir)) {}
  ~MadeDir() {
    if (!made_ || kept_) return;
    std::error_code ec;
    fs::remove(dir_ / ".lock", ec);
    fs::remove(dir_, ec);  // only when empty: nothing else was ever there
  }
  void keep() { kept_ = true; }

 private:
  fs::path dir_;
  bool made_;
  bool kept_ = false;
};

// What a backup carries from one step to the next.
struct Job {
  const BackupOptions& o;
  BackupResult r;
  std::optional<Catalog> cat;  // the directory's catalog, when it has a backup
  SourceIdentity now;          // the source as known so far
  std::uint32_t bs = 0, total = 0;
  std::uint64_t dev_bytes = 0;
  bool same_geometry = false;  // the catalog's device, block size and block count
  bool incremental = false;    // still to be an incremental
  std::int64_t snap_time = 0;
  std::optional<Key> new_key;  // the tracking session's key after the snapshot
  std::optional<BlockBitmap> changed;
  std::optional<Stats> before;  // the module's counters before the transfer

  Job(const BackupOptions& opts, bool want_incremental) : o(opts), incremental(want_incremental) {
    r.requested_incremental = want_incremental;
    r.major = o.major;
    r.minor = o.minor;
  }
  // From here on a full backup, for this reason.
  void fall_back(std::string why) {
    r.fallback_reason = std::move(why);
    incremental = false;
  }
  [[noreturn]] void refuse_source() const {
    throw SourceMismatch(o.dir.string() + " holds backups of another source (" + cat->source().describe() +
                         "), not of " + now.describe() + "; ask for a new chain to start one there");
  }
};

// The device's block size and size, from the module.
void read_geometry(ControlDevice& dev, Job& j) {
  const BlockSize geo = dev.get_block_size(j.o.major, j.o.minor);
  if (geo.blockSize < 512 || geo.blockSize > 65536 || geo.blockSize % 512)
    throw Error(Errc::unavailable, "CGD_GET_BLOCK_SIZE", CGD_ERR_UNAVAILABLE, 0, std::nullopt,
                "unusable block size " + std::to_string(geo.blockSize));
  j.bs = static_cast<std::uint32_t>(geo.blockSize);
  j.dev_bytes = static_cast<std::uint64_t>(geo.partitionSizeKB) * 1024;
  const std::uint64_t total64 = j.dev_bytes / j.bs;
  if (total64 == 0 || total64 > 0xffffffffull)
    throw Error(Errc::invalid, "CGD_GET_BLOCK_SIZE", CGD_ERR_INVALID, 0, std::nullopt,
                "device size of " + std::to_string(total64) + " blocks cannot be backed up");
  j.total = static_cast<std::uint32_t>(total64);
  j.r.block_size = j.bs;
  j.r.total_blocks = j.total;
}

// The source as far as it is known before the snapshot (the file system's
// UUID comes from the snapshot itself), held against the catalog's; and
// whether the catalog can carry an incremental.
void check_catalog(Job& j) {
  j.now.major = j.o.major;
  j.now.minor = j.o.minor;
  j.now.device_bytes = j.dev_bytes;
  j.now.block_size = j.bs;
  const auto& cat = j.cat;
  j.same_geometry = cat && cat->major == j.o.major && cat->minor == j.o.minor && cat->block_size == j.bs &&
                    cat->block_count == j.total;
  if (cat && !cat->fs_uuid && !cat->source().same_as(j.now) && !j.o.new_chain) j.refuse_source();
  if (!j.incremental) return;
  if (!cat) j.fall_back("there is no earlier backup in the catalog");
  else if (!j.same_geometry)
    j.fall_back(cat->block_count != j.total ? "the device was resized since the last backup"
                                            : "the catalog describes another device or block size");
  else if (!cat->key) j.fall_back("the catalog holds no tracking key from a completed backup");
}

// After the start: the module's tracking session must be the catalog's.
void check_tracking_session(ControlDevice& dev, Job& j) {
  if (!j.incremental) return;
  const AutoMapState pre = dev.get_automap_state();
  std::string why = automap_unusable(pre, j.total);
  if (why.empty() && std::memcmp(pre.amsKey.key, j.cat->key->data(), CGD_KEY_SIZE) != 0)
    why = "the module's tracking session has another key than the catalog's";
  if (!why.empty()) j.fall_back(why);
}

// The snapshot.  A full backup replaces the tracking session so that its
// key and map start at this snapshot; a refused key does the same.
void take_snapshot(ControlDevice& dev, Job& j) {
  if (!j.incremental) dev.no_load_from_automap();
  j.snap_time = static_cast<std::int64_t>(std::time(nullptr));
  try {
    dev.snapshot(j.incremental ? j.cat->key : std::nullopt);
  } catch (const Error& e) {
    if (e.code() != Errc::key_mismatch || !j.incremental) throw;
    j.fall_back("the module's tracking session has another key than the catalog's");
    dev.no_load_from_automap();
    dev.snapshot(std::nullopt);
  }
  const AutoMapState ams = dev.get_automap_state();
  if (ams.state == CGD_AUTOMAP_IN_SYNC && ams.mapLen == j.total) {
    Key k;
    std::memcpy(k.data(), ams.amsKey.key, k.size());
    j.new_key = k;
  }
}

// An incremental's changed-block map.
void read_changed_map(ControlDevice& dev, Job& j) {
  if (j.incremental) {
    std::optional<std::vector<std::uint8_t>> m = dev.get_automap(j.total);
    if (!m) {
      j.fall_back("the module handed over no changed-block map");
    } else {
      j.changed = BlockBitmap(std::move(*m), j.total);
      j.r.blocks_changed = j.changed->count();
    }
  }
  j.r.kind = j.incremental ? BackupKind::incremental : BackupKind::full;
}

// The source's file system, from the snapshot: the same as the directory's,
// or a refusal before anything is written.
void check_snapshot_source(const SnapshotBytes& reader, Job& j) {
  j.now.fs_uuid = ext_uuid(std::cref(reader), j.dev_bytes);
  if (j.cat && !j.cat->source().same_as(j.now)) {
    if (!j.o.new_chain) j.refuse_source();
    j.r.catalog_note = "a new chain starts for another source (" + j.now.describe() +
                       "); the earlier points stay listed and restorable";
  } else if (j.cat && !j.same_geometry) {
    j.r.catalog_note = "the device's geometry changed (" + j.now.describe() +
                       "): a new chain starts; the earlier points stay listed and restorable";
  }
  if (j.incremental && !j.r.catalog_note.empty()) {  // cannot happen with an accepted key; be safe
    j.fall_back(j.r.catalog_note);
    j.r.kind = BackupKind::full;
  }
}

// The wanted blocks.  An incremental keeps its chain's choice: after a full
// backup of every block it takes every changed block, so that each point
// stays the whole device (blocks the file system did not use are written by
// raw writers too); after one of the used blocks only, blocks written while
// they were free are in no earlier point, which it says.
BlockBitmap choose_wanted(const SnapshotBytes& reader, Job& j) {
  BlockBitmap wanted(j.total, true);
  bool every_block = j.o.all_blocks;
  if (j.incremental) {
    const ChainEntry* full = nullptr;
    for (const ChainEntry* c : j.cat->chain_to(j.cat->latest()->sequence))
      if (c->kind == BackupKind::full) full = c;
    const bool chain_all = full && full->all_blocks;
    if (chain_all && !every_block) {
      every_block = true;
      j.r.fs_note = "its chain's full backup took every block, so every changed block is taken";
    } else if (!chain_all && every_block) {
      j.r.fs_note = "its chain's full backup took only the blocks the file system used: blocks written while "
                    "they were free are in no earlier point of the chain; a full backup takes every block";
    }
  }
  j.r.all_blocks = every_block;
  if (!every_block) {
    UsedBlocks used = used_blocks(std::cref(reader), j.dev_bytes, j.bs, j.total);
    j.r.fs_note = used.note;
    if (used.map) {
      wanted = std::move(*used.map);
    } else {
      j.r.all_blocks = true;
      j.r.fs_note += "; every block is taken";
    }
  }
  if (j.changed) wanted.intersect(*j.changed);
  j.r.blocks_wanted = wanted.count();
  return wanted;
}

// The module's statistics; none from a module without the command.
std::optional<Stats> stats_if_any(ControlDevice& dev) {
  try {
    return dev.get_stats();
  } catch (const Error& e) {
    if (e.code() != Errc::bad_command) throw;
  }
  return std::nullopt;
}

// Loads the wanted map, reads the wanted blocks and writes them out as the
// point `sequence`; closes the session.  The files are durable on return.
FileInfo transfer(ControlDevice& dev, Window (&windows)[2], const BlockBitmap& wanted, std::uint32_t sequence,
                  Job& j) {
  // The reads of the file system's own blocks count in the module's read
  // counters too; the backup's share is what they add from here on.
  j.before = stats_if_any(dev);
  dev.load_block_map(wanted.bytes(), j.total);

  std::optional<ImageWriter> image;
  std::optional<DeltaWriter> delta;
  Output out;
  if (j.incremental) {
    delta.emplace(j.o.dir, sequence, j.snap_time, j.bs, j.cat->latest()->info.checksum, wanted);
    out = &*delta;
  } else {
    image.emplace(j.o.dir, sequence, j.snap_time, j.bs, wanted);
    out = &*image;
  }
  {
    const std::uint32_t per_window = static_cast<std::uint32_t>(windows[0].size() / j.bs);
    Pipeline pipe(dev, windows, j.bs, out, j.r.blocks_wanted, j.o.progress);
    wanted.for_each_run(per_window, [&](std::uint32_t first, std::uint32_t count) { pipe.read(first, count); });
    pipe.finish();
  }
  const State end = dev.get_state();
  if (end.state != CGD_STATE_READING)
    throw Error(Errc::invalid, "backup", 0, 0, end.state,
                "the session left the reading state: the image cannot be trusted");
  j.r.stats = stats_if_any(dev);
  for (Window& w : windows) w = Window();
  dev.close();
  return j.incremental ? delta->finish() : image->finish();
}

// Only now, with the point's files durable, does the catalog take the
// backup and the session's new key.  Every earlier point stays in it; the
// point's files go again unless the catalog takes them.
void commit(const FileInfo& info, std::uint32_t sequence, Job& j) {
  struct Uncommitted {
    std::vector<fs::path> files;
    ~Uncommitted() {
      for (const auto& f : files) ::unlink(f.c_str());
    }
  } uncommitted;
  uncommitted.files.push_back(j.o.dir / info.file);
  if (!info.index.empty()) uncommitted.files.push_back(j.o.dir / info.index);

  check_interrupt();
  Catalog next;
  if (j.cat) next = *j.cat;
  next.set_source(j.now);
  ChainEntry e;
  e.sequence = sequence;
  e.kind = j.r.kind;
  e.chain = j.incremental ? j.cat->latest()->chain : next.next_chain();
  if (j.incremental) e.parent = j.cat->latest()->sequence;
  e.time = j.snap_time;
  e.block_size = j.bs;
  e.block_count = j.total;
  e.all_blocks = j.r.all_blocks;
  e.info = info;
  next.entries.push_back(e);
  next.key = j.new_key;
  next.save(j.o.dir);
  uncommitted.files.clear();

  j.r.chain = e.chain;
  j.r.sequence = sequence;
  j.r.file = info.file;
  j.r.bytes_written = info.bytes_written;
  j.r.key_stored = j.new_key.has_value();
}

// Where the backup's blocks came from, and the time frozen, from the
// module's counters before and after the transfer.
void count_sources(Job& j) {
  BackupResult& r = j.r;
  if (!r.stats) return;
  const int cbs0 = j.before ? j.before->totalReadCBs : 0, disk0 = j.before ? j.before->totalReadBlocks : 0;
  // A block preserved while its disk read was in flight counts in both
  // counters; its bytes are the store's.  Every block read is a wanted one.
  r.blocks_from_store = static_cast<std::uint64_t>(std::max(0, r.stats->totalReadCBs - cbs0));
  r.blocks_from_disk =
      std::min<std::uint64_t>(static_cast<std::uint64_t>(std::max(0, r.stats->totalReadBlocks - disk0)),
                              r.blocks_wanted - std::min(r.blocks_wanted, r.blocks_from_store));
  r.frozen_seconds = seconds(r.stats->eTimeFrozen);
}

BackupResult run(const BackupOptions& o, bool want_incremental) {
  const auto t0 = std::chrono::steady_clock::now();
  Job j(o, want_incremental);

  MadeDir made(o.dir);
  DirLock lock(o.dir, DirLock::Mode::exclusive,
               std::string(want_incremental ? "an incremental" : "a full") + " backup of device " +
                   std::to_string(o.major) + ":" + std::to_string(o.minor));
  j.cat = Catalog::load(o.dir);
  // A directory with no backup yet gets its lock file back if this one fails.
  if (!j.cat) lock.remove_on_release();
  if (j.cat && j.cat->entries.empty()) j.cat.reset();

  ControlDevice dev(o.device_node);
  read_geometry(dev, j);
  check_catalog(j);
  const std::uint32_t max_cache = o.max_cache_blocks ? o.max_cache_blocks : default_max_cache_blocks(j.total, j.bs);
  dev.start_backup(o.major, o.minor, j.total, max_cache);
  check_tracking_session(dev, j);

  const State st = dev.get_state();
  if (st.mmapSize < static_cast<int>(j.bs))
    throw Error(Errc::invalid, "CGD_GET_STATE", 0, 0, st.state,
                "transfer windows of " + std::to_string(st.mmapSize) + " bytes cannot hold a block");
  Window windows[2] = {Window(dev, static_cast<std::size_t>(st.mmapSize)),
                       Window(dev, static_cast<std::size_t>(st.mmapSize))};

  take_snapshot(dev, j);
  read_changed_map(dev, j);
  SnapshotBytes reader(dev, windows[0], j.bs, j.total);
  check_snapshot_source(reader, j);
  const BlockBitmap wanted = choose_wanted(reader, j);

  const std::uint32_t sequence = j.cat ? j.cat->next_sequence() : 1;
  const FileInfo info = transfer(dev, windows, wanted, sequence, j);
  commit(info, sequence, j);
  made.keep();
  lock.remove_on_release(false);

  count_sources(j);
  j.r.elapsed_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  j.r.throughput = j.r.elapsed_seconds > 0 ? static_cast<double>(j.r.bytes_written) / j.r.elapsed_seconds : 0;
  return j.r;
}

}  // namespace

BackupResult full_backup(const BackupOptions& o) { return run(o, false); }
BackupResult incremental_backup(const BackupOptions& o) { return run(o, true); }

}  // namespace cowguard::agent
