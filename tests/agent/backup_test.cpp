// Backups through the loaded module while the device is written:
//  - the test file system (libext2fs cannot read it: every block is taken):
//    a full and an incremental backup restored byte for byte equal to the
//    device at each frozen instant;
//  - the tracking key reaches the catalog only from a completed backup: a
//    backup that fails on a disk read leaves the catalog as it was, and the
//    next incremental falls back to a full one because the module's key moved;
//  - a live ext4 file system: only the blocks in use are taken, and the
//    restored images hold exactly the files of each frozen instant.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "backup.h"
#include "format.h"
#include "standin/block.h"
#include "workload/workload.h"
#include "support/files.h"
#include "support/kernel_test.h"

namespace blk = standin::block;
namespace fs = std::filesystem;
using namespace cowguard::agent;

namespace {

std::vector<std::uint8_t> read_file(const fs::path& p) {
  return cgtest::ReadFileBytes(p);
}

class BackupTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    char tmpl[] = "/tmp/cg-backup-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(tmpl));
    tmp_ = tmpl;
  }
  void TearDown() override {
    stop_writer();
    blk::set_freeze_hook({});
    if (part_ && blk::mounted(part_)) blk::umount(part_);
    disk_.reset();
    fs::remove_all(tmp_);
    ModuleTest::TearDown();
  }

  // A RAM disk with one partition of `sectors` at sector 2048 carrying the
  // test file system with the given block size, mounted.
  void make_testfs(std::uint32_t block_size, std::uint64_t sectors) {
    disk_ = blk::Disk::ram(2048 + sectors + 4096);  // room to grow the partition
    ASSERT_TRUE(disk_);
    ASSERT_TRUE(blk::write_mbr(*disk_, {{2048, sectors}}));
    ASSERT_EQ(0, disk_->rescan());
    part_ = disk_->part_dev(1);
    ASSERT_TRUE(blk::format_testfs(part_, block_size));
    ASSERT_EQ(0, blk::mount(part_));
  }

  // Records the partition's bytes at every frozen instant.
  void capture_frozen() {
    blk::set_freeze_hook([this](blk::devnum dev, struct super_block*) {
      if (dev != part_) return;
      std::lock_guard lk(m_);
      frozen_.push_back(blk::device_bytes(dev));
    });
  }

  // Writes random 1 KiB pieces through the mounted file system until stopped.
  void start_writer() {
    stop_ = false;
    writer_ = std::thread([this] {
      std::mt19937 rng(7);
      std::vector<std::uint8_t> buf(1024);
      std::uint64_t pieces = blk::device_sectors(part_) / 2;
      while (!stop_) {
        for (auto& b : buf) b = static_cast<std::uint8_t>(rng());
        std::uint64_t piece = 8 + rng() % (pieces - 8);  // the header stays
        blk::fs_write(part_, piece * 1024, buf.data(), buf.size());
        writes_++;
      }
    });
  }
  void stop_writer() {
    stop_ = true;
    if (writer_.joinable()) writer_.join();
  }

  BackupOptions options() const {
    BackupOptions o;
    o.major = blk::major_of(part_);
    o.minor = blk::minor_of(part_);
    o.dir = tmp_ / "backups";
    return o;
  }

  std::vector<std::uint8_t> frozen(std::size_t i) {
    std::lock_guard lk(m_);
    return i < frozen_.size() ? frozen_[i] : std::vector<std::uint8_t>{};
  }

  void expect_restores(std::uint32_t point, const std::vector<std::uint8_t>& want) {
    fs::path out = tmp_ / ("restored-" + std::to_string(point) + ".img");
    restore(tmp_ / "backups", point, out);
    auto got = read_file(out);
    ASSERT_EQ(want.size(), got.size());
    EXPECT_TRUE(want == got) << "point " << point << " differs from the device at its snapshot";
  }

  fs::path tmp_;
  std::unique_ptr<blk::Disk> disk_;
  blk::devnum part_ = 0;
  std::mutex m_;
  std::vector<std::vector<std::uint8_t>> frozen_;
  std::thread writer_;
  std::atomic<bool> stop_{false};
  std::atomic<long> writes_{0};
};

TEST_F(BackupTest, FullAndIncrementalOfAWrittenDeviceMatchTheFrozenBytes) {
  make_testfs(1024, 8192);  // 4 MiB: 4096 blocks
  capture_frozen();
  start_writer();
  while (writes_ < 50) std::this_thread::yield();

  BackupResult full = full_backup(options());
  EXPECT_EQ(BackupKind::full, full.kind);
  EXPECT_TRUE(full.all_blocks);
  EXPECT_NE(std::string::npos, full.fs_note.find("every block")) << full.fs_note;
  EXPECT_EQ(4096u, full.total_blocks);
  EXPECT_EQ(4096u, full.blocks_wanted);
  EXPECT_EQ(4096u * 1024, full.bytes_written);
  EXPECT_TRUE(full.key_stored);
  ASSERT_TRUE(full.stats);
  EXPECT_EQ(4096u, full.stats->numBlocks);
  // Every wanted block came from the disk or from the store.
  EXPECT_GE(full.blocks_from_disk + full.blocks_from_store, 4096u);

  long before = writes_;
  while (writes_ < before + 50) std::this_thread::yield();
  BackupResult inc = incremental_backup(options());
  stop_writer();
  EXPECT_EQ(BackupKind::incremental, inc.kind) << inc.fallback_reason;
  EXPECT_TRUE(inc.fallback_reason.empty());
  EXPECT_GT(inc.blocks_changed, 0u);
  EXPECT_LT(inc.blocks_changed, 4096u);
  EXPECT_EQ(inc.blocks_changed, inc.blocks_wanted);
  EXPECT_EQ(inc.blocks_wanted * 1024, inc.bytes_written);
  EXPECT_EQ(2u, inc.sequence);

  ASSERT_EQ(2u, frozen_.size());
  expect_restores(1, frozen(0));
  expect_restores(2, frozen(1));
  VerifyReport rep = verify(tmp_ / "backups");
  EXPECT_TRUE(rep.ok) << rep.message;
  EXPECT_EQ(3u, rep.files_checked);  // the image, its index and the delta
}

// An incremental whose changed blocks are both long runs (read straight
// into a window) and scattered single blocks (gathered into batches) writes
// them in order: the point restores to the frozen bytes, several batches and
// windows interleaved.
TEST_F(BackupTest, AnIncrementalOfLongRunsAndScatteredBlocksRestoresInOrder) {
  make_testfs(4096, 32768);  // 4096 blocks of 4 KiB
  capture_frozen();
  BackupResult full = full_backup(options());
  ASSERT_TRUE(full.key_stored);
  std::mt19937 rng(5);
  std::vector<std::uint8_t> buf(4096);
  auto write_block = [&](std::uint32_t b) {
    for (auto& x : buf) x = static_cast<std::uint8_t>(rng());
    ASSERT_EQ(0, blk::fs_write(part_, std::uint64_t{b} * 4096, buf.data(), buf.size()));
  };
  std::uint32_t changed = 0;
  for (std::uint32_t b = 10; b < 4096; b += 3) {  // one block in three: runs of one
    if (b >= 1000 && b < 1400) continue;
    write_block(b);
    changed++;
  }
  for (std::uint32_t b = 1000; b < 1400; b++, changed++) write_block(b);  // a long run
  for (std::uint32_t b = 3000; b < 3040; b++) write_block(b);  // a run of 40, joined to its neighbours
  BackupResult inc = incremental_backup(options());
  ASSERT_EQ(BackupKind::incremental, inc.kind) << inc.fallback_reason;
  EXPECT_GE(inc.blocks_wanted, changed);
  ASSERT_EQ(2u, frozen_.size());
  expect_restores(inc.sequence, frozen(1));
  EXPECT_TRUE(verify(tmp_ / "backups").ok);
}

TEST_F(BackupTest, KeyIsStoredOnlyFromACompletedBackup) {
  make_testfs(4096, 8192);  // 1024 blocks of 4 KiB
  capture_frozen();
  std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
  BackupOptions o = options();
  o.progress = [&](std::uint64_t done, std::uint64_t total) { progress.emplace_back(done, total); };
  BackupResult first = incremental_backup(o);  // nothing to build on yet
  EXPECT_EQ(BackupKind::full, first.kind);
  EXPECT_NE(std::string::npos, first.fallback_reason.find("no earlier backup")) << first.fallback_reason;
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(std::make_pair(std::uint64_t{0}, std::uint64_t{1024}), progress.front());
  EXPECT_EQ(std::make_pair(std::uint64_t{1024}, std::uint64_t{1024}), progress.back());
  for (std::size_t i = 1; i < progress.size(); i++) EXPECT_GE(progress[i].first, progress[i - 1].first);

  auto cat1 = Catalog::load(o.dir);
  ASSERT_TRUE(cat1 && cat1->key);

  // Writes, then a backup that meets a disk read error on a changed block.
  std::vector<std::uint8_t> buf(4096, 0x5a);
  ASSERT_EQ(0, blk::fs_write(part_, 500 * 4096, buf.data(), buf.size()));
  disk_->add_fault({2048 + 500 * 8, 8, true, false});
  try {
    incremental_backup(o);
    FAIL() << "a backup with a failed read completed";
  } catch (const Error& e) {
    EXPECT_EQ(Errc::io, e.code()) << e.what();
  }
  disk_->clear_faults();
  auto cat2 = Catalog::load(o.dir);
  ASSERT_TRUE(cat2);
  EXPECT_EQ(cat1->key, cat2->key);
  EXPECT_EQ(1u, cat2->entries.size());
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(o.dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{".lock", "catalog.json", "full-000001.idx", "full-000001.img"}), names);

  // The failed backup's snapshot moved the module's key on: the changes it
  // was handed are gone from tracking, so only a full backup is sound.
  BackupResult again = incremental_backup(o);
  EXPECT_EQ(BackupKind::full, again.kind);
  EXPECT_NE(std::string::npos, again.fallback_reason.find("key")) << again.fallback_reason;
  ASSERT_EQ(3u, frozen_.size());
  expect_restores(again.sequence, frozen(2));
  // And the chain goes on from there.
  ASSERT_EQ(0, blk::fs_write(part_, 7 * 4096, buf.data(), buf.size()));
  BackupResult inc = incremental_backup(o);
  EXPECT_EQ(BackupKind::incremental, inc.kind) << inc.fallback_reason;
  EXPECT_EQ(1u, inc.blocks_wanted);
  expect_restores(inc.sequence, frozen(3));
  // Nothing written since: an empty delta that still restores.
  BackupResult none = incremental_backup(o);
  EXPECT_EQ(BackupKind::incremental, none.kind) << none.fallback_reason;
  EXPECT_EQ(0u, none.blocks_wanted);
  EXPECT_EQ(0u, none.bytes_written);
  expect_restores(none.sequence, frozen(4));
}

TEST_F(BackupTest, ResizedDeviceIsRefusedUntilANewChainIsAskedForAndKeepsTheOldPoints) {
  make_testfs(4096, 8192);
  capture_frozen();
  BackupOptions o = options();
  full_backup(o);
  const std::string catalog_before = [&] {
    std::ifstream in(o.dir / Catalog::kFileName);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  // The partition grows by 1 MiB; the file system on it (which has no UUID)
  // stays: the directory cannot tell it from another source.
  ASSERT_EQ(0, blk::umount(part_));
  ASSERT_TRUE(blk::write_mbr(*disk_, {{2048, 8192 + 2048}}));
  ASSERT_EQ(0, disk_->rescan());
  ASSERT_EQ(0, blk::mount(part_));
  try {
    incremental_backup(o);
    FAIL() << "a backup of another size went into the directory";
  } catch (const SourceMismatch& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("another source")) << e.what();
  }
  {
    std::ifstream in(o.dir / Catalog::kFileName);
    EXPECT_EQ(catalog_before, std::string(std::istreambuf_iterator<char>(in), {}));
  }
  EXPECT_EQ(1u, frozen_.size());  // refused before any snapshot

  o.new_chain = true;
  BackupResult r = incremental_backup(o);
  EXPECT_EQ(BackupKind::full, r.kind);
  EXPECT_NE(std::string::npos, r.fallback_reason.find("resized")) << r.fallback_reason;
  EXPECT_NE(std::string::npos, r.catalog_note.find("new chain")) << r.catalog_note;
  EXPECT_EQ(1280u, r.total_blocks);
  EXPECT_EQ(2u, r.chain);
  auto cat = Catalog::load(o.dir);
  ASSERT_TRUE(cat);
  EXPECT_EQ(1280u, cat->block_count);
  ASSERT_EQ(2u, cat->entries.size());
  EXPECT_EQ(1u, cat->entries[0].chain);
  EXPECT_EQ(1024u, cat->entries[0].block_count);
  EXPECT_EQ(2u, cat->entries[1].sequence);
  EXPECT_EQ(1280u, cat->entries[1].block_count);
  // Both chains restore, each to its own size.
  expect_restores(1, frozen(0));
  expect_restores(2, frozen(1));
  // The next incremental follows the new chain.
  o.new_chain = false;
  BackupResult inc = incremental_backup(o);
  EXPECT_EQ(BackupKind::incremental, inc.kind) << inc.fallback_reason;
  EXPECT_EQ(2u, inc.chain);
  EXPECT_TRUE(verify(o.dir).ok);
}

TEST_F(BackupTest, LiveExt4TakesTheUsedBlocksAndRestoresEachInstant) {
  namespace wl = cowguard::workload;
  std::string img = (tmp_ / "disk.img").string(), err;
  wl::DiskLayout layout;
  ASSERT_TRUE(wl::make_disk_image(img, 48ull << 20, 1024, &layout, &err)) << err;
  wl::MountedImage m;
  ASSERT_TRUE(wl::attach_and_mount(img, &m, &err)) << err;
  part_ = m.part;
  wl::WorkloadOptions wo;
  wo.keep_device_bytes = false;
  wo.seed = 3;
  auto w = wl::Ext4Workload::open(m.part, wo, &err);
  ASSERT_TRUE(w) << err;
  w->start();
  ASSERT_TRUE(w->wait_for_operations(20, std::chrono::seconds(30))) << w->error();

  BackupResult full = full_backup(options());
  EXPECT_FALSE(full.all_blocks) << full.fs_note;
  EXPECT_GT(full.blocks_wanted, 0u);
  EXPECT_LT(full.blocks_wanted, full.total_blocks);
  std::uint64_t ops = w->operations();
  ASSERT_TRUE(w->wait_for_operations(ops + 20, std::chrono::seconds(30))) << w->error();
  BackupResult inc = incremental_backup(options());
  w->stop();
  EXPECT_EQ(BackupKind::incremental, inc.kind) << inc.fallback_reason;
  EXPECT_LE(inc.blocks_wanted, inc.blocks_changed);
  EXPECT_EQ("", w->error());
  // Every block taken came either from the store or from the disk, once;
  // the reads of the file system's bitmaps before the map load are not counted.
  for (const BackupResult* r : {&full, &inc})
    EXPECT_EQ(r->blocks_wanted, r->blocks_from_store + r->blocks_from_disk);

  std::vector<wl::FrozenInstant> instants = w->take_instants();
  ASSERT_EQ(2u, instants.size());
  for (std::uint32_t point = 1; point <= 2; point++) {
    fs::path out = tmp_ / ("ext4-" + std::to_string(point) + ".img");
    restore(tmp_ / "backups", point, out);
    wl::CheckReport rep;
    EXPECT_TRUE(wl::check_image(out.string(), instants[point - 1], &rep)) << rep.text();
    std::string fsck;
    EXPECT_TRUE(wl::run_e2fsck(out.string(), &fsck)) << fsck;
  }
  w.reset();
  part_ = 0;
}

}  // namespace

namespace {

TEST_F(BackupTest, TrackingStoppedByAnotherSessionGivesAFullBackup) {
  make_testfs(4096, 8192);
  capture_frozen();
  BackupOptions o = options();
  full_backup(o);
  {
    // Another agent's backup that ends tracking of the device.
    ControlDevice other;
    other.start_backup(o.major, o.minor, 1024, 64);
    other.no_start_automap();
    other.snapshot(std::nullopt);
    EXPECT_EQ(0u, other.get_automap_state().mapLen);
  }
  BackupResult r = incremental_backup(o);
  EXPECT_EQ(BackupKind::full, r.kind);
  EXPECT_NE(std::string::npos, r.fallback_reason.find("no tracking session")) << r.fallback_reason;
  EXPECT_TRUE(r.key_stored);
  expect_restores(r.sequence, frozen(2));
  // Tracking runs again from that backup on.
  std::vector<std::uint8_t> buf(4096, 1);
  ASSERT_EQ(0, blk::fs_write(part_, 33 * 4096, buf.data(), buf.size()));
  BackupResult inc = incremental_backup(o);
  EXPECT_EQ(BackupKind::incremental, inc.kind) << inc.fallback_reason;
  EXPECT_EQ(1u, inc.blocks_wanted);
  expect_restores(inc.sequence, frozen(3));
}

}  // namespace

namespace {

// A write the tracking cannot place (past the end of its map: the
// partition's tail sectors beyond its last whole block) puts the session
// out of sync; the next incremental is a full backup that says so, and the
// chain goes on incrementally from it.
TEST_F(BackupTest, OutOfSyncTrackingGivesAFullBackup) {
  make_testfs(4096, 8192 + 2);
  capture_frozen();
  BackupOptions o = options();
  BackupResult first = full_backup(o);
  ASSERT_EQ(1024u, first.total_blocks);

  std::vector<std::uint8_t> tail(512, 0x7d);
  ASSERT_EQ(0, blk::rw_sectors(part_, 1, 8192, tail.data(), tail.size()));
  BackupResult r = incremental_backup(o);
  EXPECT_EQ(BackupKind::full, r.kind);
  EXPECT_NE(std::string::npos, r.fallback_reason.find("out of sync")) << r.fallback_reason;
  EXPECT_TRUE(r.key_stored);

  BackupResult next = incremental_backup(o);
  EXPECT_EQ(BackupKind::incremental, next.kind) << next.fallback_reason;
  auto f = frozen(2);
  ASSERT_FALSE(f.empty());
  f.resize(std::size_t(1024) * 4096);  // the image holds the whole blocks only
  expect_restores(3, f);
}

}  // namespace

namespace {

// Two ext4 file systems of the same size are two sources: the file system's
// UUID tells them apart where the size cannot.
TEST_F(BackupTest, AnotherFileSystemOfTheSameSizeIsRefusedUntilANewChainIsAskedFor) {
  namespace wl = cowguard::workload;
  std::string err;
  auto mount_new = [&](const std::string& name, wl::MountedImage* m) {
    wl::DiskLayout layout;
    std::string img = (tmp_ / name).string();
    ASSERT_TRUE(wl::make_disk_image(img, 16ull << 20, 4096, &layout, &err)) << err;
    ASSERT_TRUE(wl::attach_and_mount(img, m, &err)) << err;
  };
  wl::MountedImage a;
  mount_new("a.img", &a);
  BackupOptions o = options();
  o.major = blk::major_of(a.part);
  o.minor = blk::minor_of(a.part);
  BackupResult first = full_backup(o);
  auto cat = Catalog::load(o.dir);
  ASSERT_TRUE(cat && cat->fs_uuid);
  const std::string uuid_a = *cat->fs_uuid;
  a.disk.reset();

  // Another file system, same size, same device numbers.
  wl::MountedImage b;
  mount_new("b.img", &b);
  ASSERT_EQ(o.major, blk::major_of(b.part));
  ASSERT_EQ(o.minor, blk::minor_of(b.part));
  try {
    incremental_backup(o);
    FAIL() << "a backup of another file system went into the directory";
  } catch (const SourceMismatch& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find(uuid_a)) << e.what();
  }
  cat = Catalog::load(o.dir);
  ASSERT_EQ(1u, cat->entries.size());
  EXPECT_EQ(uuid_a, *cat->fs_uuid);
  // Nothing of the refused backup is left in the directory.
  EXPECT_TRUE(find_leftovers(o.dir, &*cat).empty());

  o.new_chain = true;
  BackupResult second = full_backup(o);
  EXPECT_NE(std::string::npos, second.catalog_note.find("another source")) << second.catalog_note;
  cat = Catalog::load(o.dir);
  ASSERT_EQ(2u, cat->entries.size());
  EXPECT_NE(uuid_a, *cat->fs_uuid);
  EXPECT_EQ(1u, cat->entries[0].chain);
  EXPECT_EQ(2u, cat->entries[1].chain);
  VerifyReport rep = verify(o.dir);
  EXPECT_TRUE(rep.ok) << rep.message;
  EXPECT_EQ((std::vector<std::uint32_t>{first.sequence, second.sequence}), rep.restorable);
  b.disk.reset();
}

TEST_F(BackupTest, ASecondWriterIsRefusedAtOnceAndAnInterruptedBackupLeavesNothing) {
  make_testfs(4096, 8192);
  BackupOptions o = options();
  full_backup(o);
  auto before = Catalog::load(o.dir);
  {
    DirLock other(o.dir, DirLock::Mode::exclusive, "an incremental backup of device 8:1");
    try {
      incremental_backup(o);
      FAIL() << "two writers had the directory";
    } catch (const LockBusy& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find("in use by an incremental backup of device 8:1"))
          << e.what();
    }
  }
  // Interrupted (as by SIGINT) while reading: no point, no temporary file,
  // the key of the last good backup kept.
  BackupOptions slow = o;
  slow.progress = [](std::uint64_t done, std::uint64_t) {
    if (done > 0) request_interrupt();
  };
  slow.all_blocks = true;
  EXPECT_THROW(full_backup(slow), Interrupted);
  clear_interrupt();
  auto after = Catalog::load(o.dir);
  ASSERT_TRUE(after);
  EXPECT_EQ(before->entries.size(), after->entries.size());
  EXPECT_EQ(before->key, after->key);
  EXPECT_TRUE(find_leftovers(o.dir, &*after).empty());
  // A backup that made its directory and failed removes it again.
  BackupOptions nowhere = o;
  nowhere.dir = tmp_ / "new-dir";
  nowhere.minor = 200;  // no such device
  EXPECT_ANY_THROW(full_backup(nowhere));
  EXPECT_FALSE(fs::exists(nowhere.dir));
  // The files and the directory are private.
  struct stat st {};
  ASSERT_EQ(0, ::stat(o.dir.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
  for (const auto& e : fs::directory_iterator(o.dir)) {
    ASSERT_EQ(0, ::stat(e.path().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777) << e.path();
  }
}

}  // namespace

namespace {

// A chain keeps its full backup's choice of blocks.  After a full backup of
// every block, an incremental asked for the used blocks only still takes
// every changed block (a raw write to a free block is in the point); after a
// full backup of the used blocks, an incremental of every block says what
// the chain lacks.
TEST_F(BackupTest, AnIncrementalKeepsItsChainsChoiceOfEveryBlockOrTheUsedOnes) {
  namespace wl = cowguard::workload;
  std::string img = (tmp_ / "disk.img").string(), err;
  wl::DiskLayout layout;
  ASSERT_TRUE(wl::make_disk_image(img, 16ull << 20, 4096, &layout, &err)) << err;
  wl::MountedImage m;
  ASSERT_TRUE(wl::attach_and_mount(img, &m, &err)) << err;
  part_ = m.part;
  // The file system's last block is free in a new file system.
  const std::uint64_t free_block = layout.fs_blocks - 1;
  std::vector<std::uint8_t> raw(4096, 0xc3);

  BackupOptions all = options();
  all.all_blocks = true;
  BackupResult full = full_backup(all);
  ASSERT_TRUE(full.all_blocks);
  ASSERT_EQ(0, blk::rw_sectors(part_, 1, free_block * 8, raw.data(), raw.size()));
  BackupResult inc = incremental_backup(options());  // asks for the used blocks only
  ASSERT_EQ(BackupKind::incremental, inc.kind) << inc.fallback_reason;
  EXPECT_TRUE(inc.all_blocks);
  EXPECT_NE(inc.fs_note.find("every block"), std::string::npos) << inc.fs_note;
  EXPECT_EQ(1u, inc.blocks_wanted);
  fs::path out = tmp_ / "point2.img";
  restore(tmp_ / "backups", inc.sequence, out);
  std::vector<std::uint8_t> got(4096);
  std::ifstream f(out, std::ios::binary);
  f.seekg(static_cast<std::streamoff>(free_block * 4096));
  f.read(reinterpret_cast<char*>(got.data()), 4096);
  EXPECT_EQ(got, raw) << "the raw write to a free block is not in the point";
  auto cat = Catalog::load(tmp_ / "backups");
  ASSERT_TRUE(cat);
  EXPECT_TRUE(cat->find(inc.sequence)->all_blocks);

  // A chain of the used blocks: an incremental of every block says so.
  BackupResult used = full_backup(options());
  ASSERT_FALSE(used.all_blocks) << used.fs_note;
  ASSERT_EQ(0, blk::rw_sectors(part_, 1, free_block * 8, raw.data(), raw.size()));
  BackupResult inc2 = incremental_backup(all);
  ASSERT_EQ(BackupKind::incremental, inc2.kind) << inc2.fallback_reason;
  EXPECT_NE(inc2.fs_note.find("in no earlier point"), std::string::npos) << inc2.fs_note;
  m.disk.reset();
  part_ = 0;
}

}  // namespace

namespace {

// A write of a backup file that fails (an I/O error, or torn: half its
// bytes out, then the error), for every file of a full and an incremental
// backup, at its first and a later write: the backup fails with the file's
// name, the catalog is as before, no temporary file is left, the chain
// verifies, and the next backup succeeds.
TEST_F(BackupTest, AFailedOrTornWriteOfAnyBackupFileLeavesTheChainAsItWas) {
  make_testfs(4096, 16384);
  ASSERT_NO_FATAL_FAILURE(full_backup(options()));
  struct Case {
    const char* match;
    bool incremental;
    unsigned nth;
    bool torn;
  };
  const Case cases[] = {{"full-", false, 1, false}, {"full-", false, 3, true},   {".idx", false, 1, true},
                        {"delta-", true, 1, false}, {"delta-", true, 2, true},   {"catalog", true, 1, true},
                        {"catalog", false, 1, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.match) + (c.incremental ? " incremental" : " full") + " write " +
                 std::to_string(c.nth) + (c.torn ? " torn" : ""));
    std::vector<std::uint8_t> buf(4096, static_cast<std::uint8_t>(c.nth * 31 + c.torn));
    ASSERT_EQ(0, blk::fs_write(part_, 40 * 4096, buf.data(), buf.size()));
    auto before = Catalog::load(tmp_ / "backups");
    ASSERT_TRUE(before);
    set_write_fault(WriteFault{c.match, c.nth, ENOSPC, c.torn});
    try {
      if (c.incremental) incremental_backup(options());
      else full_backup(options());
      ADD_FAILURE() << "the backup did not fail";
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code().value(), ENOSPC);
      EXPECT_NE(std::string(e.what()).find(c.match), std::string::npos) << e.what();
    }
    set_write_fault(std::nullopt);
    auto after = Catalog::load(tmp_ / "backups");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->entries.size(), before->entries.size());
    EXPECT_TRUE(find_leftovers(tmp_ / "backups", &*after).empty());
    EXPECT_TRUE(verify(tmp_ / "backups").ok);
    // The next backup succeeds (a full one: the failed snapshot took the changes).
    BackupResult next = incremental_backup(options());
    EXPECT_TRUE(next.key_stored);
  }
}

}  // namespace
