// A long chain of backups of a live ext4 file system: a full backup and many
// incrementals taken while the workload's threads keep writing, for 1024-
// and 4096-byte blocks.  Every point is restored and checked against the
// frozen instant of its snapshot: the blocks the file system used then equal
// the device's bytes, e2fsck finds nothing, and the files are exactly those
// recorded.  Then one byte of a block in a middle delta is flipped: verify
// names the file and the block, every earlier point still restores as it did,
// and no later point restores (nothing is left under the output name).
#include <ext2fs/ext2fs.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backup.h"
#include "bitmap.h"
#include "format.h"
#include "standin/block.h"
#include "workload/workload.h"
#include "support/files.h"
#include "support/kernel_test.h"

namespace blk = standin::block;
namespace fs = std::filesystem;
namespace wl = cowguard::workload;
using namespace cowguard::agent;

namespace {

constexpr unsigned kIncrementals = 26;
constexpr std::uint64_t kDiskBytes = 24ull << 20;
constexpr std::uint64_t kFirstOperations = 200;

std::vector<std::uint8_t> read_file(const fs::path& p) {
  return cgtest::ReadFileBytes(p);
}

// The blocks the file system of a device copy uses, read with libext2fs's
// own file I/O (blocks before the first data block count as used).  An
// empty vector when the copy cannot be read as ext2/3/4.
std::vector<bool> used_in_copy(const std::string& path, std::uint32_t block_size) {
  ext2_filsys efs = nullptr;
  if (ext2fs_open(path.c_str(), EXT2_FLAG_64BITS, 0, 0, unix_io_manager, &efs) != 0) return {};
  std::vector<bool> used;
  if (efs->blocksize == block_size && ext2fs_read_block_bitmap(efs) == 0) {
    used.assign(ext2fs_blocks_count(efs->super), false);
    for (blk64_t b = 0; b < used.size(); b++)
      used[b] = b < efs->super->s_first_data_block || ext2fs_test_block_bitmap2(efs->block_map, b);
  }
  ext2fs_close_free(&efs);
  return used;
}

// Names in a directory: a refused restore leaves neither its output nor a
// temporary file behind.
std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class LiveChainTest : public ModuleTest, public ::testing::WithParamInterface<std::uint32_t> {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    char tmpl[] = "/tmp/cg-chain-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(tmpl));
    tmp_ = tmpl;
    fs::create_directories(tmp_ / "restored");
  }
  void TearDown() override {
    load_.reset();  // before the disk it writes on
    mounted_ = {};
    fs::remove_all(tmp_);
    ModuleTest::TearDown();
  }

  BackupOptions options() const {
    BackupOptions o;
    o.major = blk::major_of(mounted_.part);
    o.minor = blk::minor_of(mounted_.part);
    o.dir = tmp_ / "backups";
    return o;
  }
  fs::path restored(std::uint32_t point) const {
    return tmp_ / "restored" / ("point-" + std::to_string(point) + ".img");
  }

  // Restores `point` and checks it against the instant its snapshot froze;
  // keeps the restored image's checksum for later.
  void check_point(const BackupResult& r, const wl::FrozenInstant& fi) {
    SCOPED_TRACE("point " + std::to_string(r.sequence) + " (" + std::string(kind_name(r.kind)) + ")");
    const std::uint32_t bs = r.block_size;
    fs::path out = restored(r.sequence);
    ASSERT_NO_THROW(restore(tmp_ / "backups", r.sequence, out));
    std::vector<std::uint8_t> image = read_file(out);
    ASSERT_EQ(static_cast<std::uint64_t>(r.total_blocks) * bs, image.size());
    ASSERT_GE(fi.device.size(), image.size());

    // Byte for byte: every block the file system used at the instant.
    fs::path copy = tmp_ / "frozen.img";
    ASSERT_TRUE(wl::write_file(copy.string(), fi.device));
    std::vector<bool> used = used_in_copy(copy.string(), bs);
    fs::remove(copy);
    ASSERT_FALSE(used.empty()) << "the device copy of instant " << fi.seq << " is no ext file system";
    std::uint64_t compared = 0, differing = 0;
    std::uint32_t first_differing = 0;
    for (std::uint32_t b = 0; b < used.size() && b < r.total_blocks; b++) {
      if (!used[b]) continue;
      compared++;
      if (std::memcmp(image.data() + std::size_t{b} * bs, fi.device.data() + std::size_t{b} * bs, bs) != 0) {
        if (!differing++) first_differing = b;
      }
    }
    EXPECT_EQ(0u, differing) << differing << " of " << compared
                             << " used blocks differ from the frozen device, first block " << first_differing;
    if (r.kind == BackupKind::full) {
      EXPECT_EQ(r.blocks_wanted, compared);
    }

    std::string fsck;
    EXPECT_TRUE(wl::run_e2fsck(out.string(), &fsck)) << fsck;
    wl::CheckReport rep;
    EXPECT_TRUE(wl::check_image(out.string(), fi, &rep)) << rep.text();
    EXPECT_EQ(fi.files.size(), rep.files_checked);

    sums_[r.sequence] = wl::checksum(image.data(), image.size());
    fs::remove(out);
  }

  fs::path tmp_;
  wl::MountedImage mounted_;
  std::unique_ptr<wl::Ext4Workload> load_;
  std::map<std::uint32_t, std::uint64_t> sums_;  // restored image checksum per point
};

TEST_P(LiveChainTest, LongChainUnderLiveWritesRestoresEveryPointAndRefusesACorruptDelta) {
#if defined(__SANITIZE_THREAD__)
  // Under ThreadSanitizer the stand-in's block layer runs some twenty times
  // slower and a chain of this length outlasts the case's time limit; the
  // plain and address-sanitizer builds run it, and the thread-sanitizer
  // build still runs the short live chains of the backup and demo cases.
  GTEST_SKIP() << "the long chain is not run under ThreadSanitizer";
#endif
  const std::uint32_t bs = GetParam();
  const auto t0 = std::chrono::steady_clock::now();
  std::string img = (tmp_ / "disk.img").string(), err;
  wl::DiskLayout layout;
  ASSERT_TRUE(wl::make_disk_image(img, kDiskBytes, bs, &layout, &err)) << err;
  ASSERT_TRUE(wl::attach_and_mount(img, &mounted_, &err)) << err;
  wl::WorkloadOptions wo;
  wo.threads = 2;
  wo.seed = 11 + bs;
  wo.keep_device_bytes = true;
  // A short rest between operations keeps the changes between two backups
  // (the checks of a point run meanwhile) well below the full backup.
  wo.pause_us = 10000;
  load_ = wl::Ext4Workload::open(mounted_.part, wo, &err);
  ASSERT_TRUE(load_) << err;
  load_->start();
  // The full backup once the file system holds about as many files as it
  // keeps from then on.
  ASSERT_TRUE(load_->wait_for_operations(kFirstOperations, std::chrono::seconds(120))) << load_->error();

  std::vector<BackupResult> points;
  auto take_point = [&](bool incremental) {
    BackupResult r = incremental ? incremental_backup(options()) : full_backup(options());
    // One snapshot, one frozen instant.
    EXPECT_EQ(points.size() + 1, load_->instants_recorded());
    std::vector<wl::FrozenInstant> fi = load_->take_instants();
    points.push_back(r);
    if (fi.size() != 1) {
      ADD_FAILURE() << "backup " << r.sequence << " froze the file system " << fi.size() << " times";
      return;
    }
    EXPECT_EQ(points.size() - 1, fi[0].seq);
    check_point(r, fi[0]);
  };

  ASSERT_NO_FATAL_FAILURE(take_point(false));
  const BackupResult& full = points[0];
  ASSERT_EQ(BackupKind::full, full.kind);
  EXPECT_FALSE(full.all_blocks) << full.fs_note;
  EXPECT_TRUE(full.key_stored);
  EXPECT_LT(full.blocks_wanted, full.total_blocks);
  const std::uint64_t full_blocks = full.blocks_wanted;

  for (unsigned i = 0; i < kIncrementals; i++) {
    std::uint64_t ops = load_->operations();
    ASSERT_TRUE(load_->wait_for_operations(ops + 5, std::chrono::seconds(60))) << load_->error();
    ASSERT_NO_FATAL_FAILURE(take_point(true));
    const BackupResult& r = points.back();
    SCOPED_TRACE("point " + std::to_string(r.sequence));
    EXPECT_EQ(BackupKind::incremental, r.kind) << r.fallback_reason;
    EXPECT_TRUE(r.requested_incremental);
    EXPECT_EQ("", r.fallback_reason);
    EXPECT_FALSE(r.all_blocks);
    EXPECT_TRUE(r.key_stored);
    EXPECT_LE(r.blocks_wanted, r.blocks_changed);
    EXPECT_LT(r.blocks_wanted, full_blocks);
    EXPECT_EQ(r.blocks_wanted, r.blocks_from_disk + r.blocks_from_store);
    EXPECT_EQ(r.blocks_wanted * bs, r.bytes_written);
  }
  load_->stop();
  EXPECT_EQ("", load_->error());
  EXPECT_GE(load_->operations(), kFirstOperations + 5u * kIncrementals);

  // The catalog links each incremental to the one before it.
  const fs::path dir = tmp_ / "backups";
  std::optional<Catalog> cat = Catalog::load(dir);
  ASSERT_TRUE(cat);
  ASSERT_EQ(points.size(), cat->entries.size());
  for (std::size_t i = 0; i < points.size(); i++) {
    const ChainEntry& e = cat->entries[i];
    EXPECT_EQ(points[i].sequence, e.sequence);
    EXPECT_EQ(points[i].blocks_wanted, e.info.blocks);
    if (i == 0) {
      EXPECT_EQ(BackupKind::full, e.kind);
      EXPECT_FALSE(e.parent);
    } else {
      EXPECT_EQ(BackupKind::incremental, e.kind);
      EXPECT_EQ(std::optional<std::uint32_t>(points[i - 1].sequence), e.parent);
    }
  }

  VerifyReport good = verify(dir);
  EXPECT_TRUE(good.ok) << good.file << ": " << good.message;
  EXPECT_EQ(points.size() + 1, good.files_checked);  // and the full backup's index
  EXPECT_EQ(points.size(), good.restorable.size());

  // Flip one byte in the middle block of the first non-empty delta from the
  // middle of the chain on.
  std::size_t bad = points.size() / 2;
  while (bad < points.size() && points[bad].blocks_wanted == 0) bad++;
  ASSERT_LT(bad, points.size()) << "no delta in the second half of the chain holds a block";
  const ChainEntry& be = cat->entries[bad];
  const fs::path bad_file = dir / be.info.file;
  std::vector<std::uint8_t> bytes = read_file(bad_file);
  const std::size_t map_bytes = (std::size_t{cat->block_count} + 7) / 8;
  const std::size_t per_block = sizeof(Hash64) + bs;
  const std::size_t trailer = 16;
  ASSERT_GT(bytes.size(), map_bytes + be.info.blocks * per_block + trailer);
  const std::size_t header = bytes.size() - trailer - be.info.blocks * per_block - map_bytes;
  BlockBitmap changed(std::vector<std::uint8_t>(bytes.begin() + header, bytes.begin() + header + map_bytes),
                      cat->block_count);
  ASSERT_EQ(be.info.blocks, changed.count());
  const std::uint64_t k = be.info.blocks / 2;
  std::uint32_t bad_block = 0;
  for (std::uint64_t seen = 0, n = 0; n < cat->block_count; n++) {
    if (changed.test(n) && seen++ == k) {
      bad_block = n;
      break;
    }
  }
  bytes[header + map_bytes + k * per_block + sizeof(Hash64) + bs / 3] ^= 0x20;
  {
    std::ofstream o(bad_file, std::ios::binary | std::ios::trunc);
    o.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(o.good());
  }

  VerifyReport rep = verify(dir);
  EXPECT_FALSE(rep.ok);
  EXPECT_EQ(be.info.file, rep.file) << rep.message;
  EXPECT_EQ(std::optional<std::uint32_t>(bad_block), rep.block) << rep.message;
  // Verify goes on past the bad file: every file is checked, and the points
  // before it are the restorable ones.
  EXPECT_EQ(points.size() + 1, rep.files_checked);
  ASSERT_EQ(bad, rep.restorable.size());
  EXPECT_EQ(points[bad - 1].sequence, rep.restorable.back());
  EXPECT_EQ(points.size() - bad, rep.unrestorable.size());

  // Points before the damaged delta restore as they did; from it on none
  // restores, and nothing is left under the output name.  One output name
  // already holds a file: a refused restore leaves it as it was.
  const std::vector<std::uint8_t> earlier = {'k', 'e', 'e', 'p'};
  const fs::path kept = restored(points.back().sequence);
  ASSERT_TRUE(wl::write_file(kept.string(), earlier));
  for (std::size_t i = 0; i < points.size(); i++) {
    const std::uint32_t seq = points[i].sequence;
    SCOPED_TRACE("restore of point " + std::to_string(seq) + " after the damage");
    fs::path out = restored(seq);
    if (i < bad) {
      ASSERT_NO_THROW(restore(dir, seq, out));
      std::vector<std::uint8_t> image = read_file(out);
      EXPECT_EQ(sums_[seq], wl::checksum(image.data(), image.size()));
      fs::remove(out);
      continue;
    }
    try {
      restore(dir, seq, out);
      ADD_FAILURE() << "restored through a damaged delta";
    } catch (const FormatError& e) {
      EXPECT_EQ(be.info.file, e.file()) << e.what();
      EXPECT_EQ(std::optional<std::uint32_t>(bad_block), e.block()) << e.what();
    }
    if (out == kept) {
      EXPECT_EQ(earlier, read_file(out));
      EXPECT_EQ(std::vector<std::string>{out.filename().string()}, names_in(tmp_ / "restored"));
    } else {
      EXPECT_FALSE(fs::exists(out));
      EXPECT_EQ(std::vector<std::string>{kept.filename().string()}, names_in(tmp_ / "restored"));
    }
  }

  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  RecordProperty("seconds", std::to_string(secs));
  std::printf("chain of 1 full + %u incrementals, %u-byte blocks, %llu workload operations: %.1f s\n",
              kIncrementals, bs, static_cast<unsigned long long>(load_->operations()), secs);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, LiveChainTest, ::testing::Values(1024u, 4096u),
                         [](const auto& info) { return "Block" + std::to_string(info.param); });

}  // namespace
