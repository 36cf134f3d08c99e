// Super blocks and file systems: mount probing (the test file system and
// real ext2/3/4 images), get_super/drop_super, freeze and thaw with writers
// through the file system, syncing, unmounting, and the ground-truth copy at
// the frozen instant.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "block_test_util.h"

#include <asm/semaphore.h>
#include <linux/errno.h>
#include <linux/fs.h>

namespace {

using namespace blocktest;
using standin::block::Disk;
using standin::block::DiskConfig;
using standin::block::FsInfo;
using standin::mem::Kind;

constexpr std::uint64_t kSectors = 16384;  // 8 MiB

class SuperTest : public KernelTest {
 protected:
  void TearDown() override {
    sb::set_freeze_hook({});
    KernelTest::TearDown();
  }
  // A disk with partition 1 at 2048 (8192 sectors) carrying the test fs.
  std::unique_ptr<Disk> FsDisk(std::uint32_t block_size = 4096) {
    auto disk = Disk::ram(kSectors);
    EXPECT_TRUE(sb::write_mbr(*disk, {{2048, 8192}}));
    EXPECT_EQ(0, disk->rescan());
    EXPECT_TRUE(sb::format_testfs(disk->part_dev(1), block_size));
    return disk;
  }
  static FsInfo Info(sb::devnum dev) {
    FsInfo info;
    EXPECT_TRUE(sb::fs_info(dev, &info));
    return info;
  }
};

class BlockSizeTest : public SuperTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(BlockSizeTest, TheTestFileSystemPresentsTheChosenBlockSize) {
  auto disk = FsDisk(GetParam());
  ASSERT_EQ(0, sb::mount(disk->part_dev(1)));
  struct block_device* bdev = bdget(disk->part_dev(1));
  struct super_block* s = get_super(bdev);
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(GetParam(), s->s_blocksize);
  EXPECT_EQ(bdev, s->s_bdev);
  EXPECT_EQ(disk->part_dev(1), s->s_dev);
  EXPECT_EQ(SB_UNFROZEN, s->s_frozen);
  EXPECT_EQ("testfs", Info(disk->part_dev(1)).type);
  drop_super(s);
  bdput(bdev);
  EXPECT_EQ(0, sb::umount(disk->part_dev(1)));
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockSizeTest, ::testing::Values(512u, 1024u, 2048u, 4096u, 256u));

TEST_F(SuperTest, GetSuperHoldsTheSuperBlockAndFindsOnlyItsOwnDevice) {
  auto disk = FsDisk();
  long refs = standin::mem::usage().live(Kind::bdev_ref);
  ASSERT_EQ(0, sb::mount(disk->part_dev(1)));
  EXPECT_EQ(refs + 2, standin::mem::usage().live(Kind::bdev_ref))
      << "a mount holds its device open, and with it the disk";
  struct block_device* part = bdget(disk->part_dev(1));
  struct block_device* whole = bdget(disk->dev());

  struct super_block* a = get_super(part);
  ASSERT_NE(nullptr, a);
  int held = a->s_count;
  struct super_block* b = get_super(part);
  EXPECT_EQ(a, b);
  EXPECT_EQ(held + 1, a->s_count);
  drop_super(b);
  EXPECT_EQ(held, a->s_count);
  drop_super(a);
  EXPECT_EQ(nullptr, get_super(whole)) << "the partition's file system is not the disk's";
  EXPECT_EQ(nullptr, get_super(nullptr));

  EXPECT_EQ(-EBUSY, sb::mount(disk->part_dev(1)));
  EXPECT_EQ(0, sb::umount(disk->part_dev(1)));
  EXPECT_EQ(nullptr, get_super(part));
  EXPECT_EQ(-EINVAL, sb::umount(disk->part_dev(1)));
  bdput(whole);
  bdput(part);
  EXPECT_EQ(refs, standin::mem::usage().live(Kind::bdev_ref));
  ExpectNoLeaks();
}

TEST_F(SuperTest, MountRefusesUnknownAndMissingDevices) {
  auto disk = Disk::ram(kSectors);
  EXPECT_EQ(-EINVAL, sb::mount(disk->dev())) << "nothing on it";
  EXPECT_EQ(-ENODEV, sb::mount(sb::mkdev(8, 15)));
  disk->add_fault({2, 2, true, false});
  ASSERT_TRUE(sb::format_testfs(disk->dev(), 1024));
  EXPECT_EQ(-EIO, sb::mount(disk->dev()));
  disk->clear_faults();
  EXPECT_EQ(0, sb::mount(disk->dev()));
  EXPECT_FALSE(sb::mounted(disk->part_dev(1)));
  EXPECT_TRUE(sb::mounted(disk->dev()));
  // Removing the disk unmounts it.
  disk.reset();
  EXPECT_FALSE(sb::mounted(sb::mkdev(8, 0)));
  ExpectNoLeaks();
}

TEST_F(SuperTest, ADiskWithoutAQueueCanStillBeMountedAndFrozen) {
  DiskConfig cfg;
  cfg.major = 254;
  cfg.minors = 1;
  cfg.with_queue = false;
  auto disk = Disk::ram(kSectors, cfg);
  ASSERT_TRUE(sb::format_testfs(disk->dev(), 2048));
  ASSERT_EQ(0, sb::mount(disk->dev()));
  struct block_device* bdev = bdget(disk->dev());
  struct super_block* s = freeze_bdev(bdev);
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(2048u, s->s_blocksize);
  thaw_bdev(bdev, s);
  bdput(bdev);
  EXPECT_EQ(0, sb::umount(disk->dev()));
}

TEST_F(SuperTest, FreezingAnUnmountedDeviceGivesNullButHoldsTheMountLock) {
  auto disk = FsDisk();
  struct block_device* bdev = bdget(disk->part_dev(1));
  EXPECT_EQ(nullptr, freeze_bdev(bdev));
  EXPECT_TRUE(MountLockHeld(bdev)) << "the mount lock is not held";
  std::atomic<bool> thawing{false}, mount_saw_thaw{false};
  std::thread mounter([&] {
    EXPECT_EQ(0, sb::mount(disk->part_dev(1)));
    mount_saw_thaw = thawing.load();
  });
  thawing = true;
  thaw_bdev(bdev, nullptr);
  mounter.join();
  EXPECT_TRUE(mount_saw_thaw) << "a mount went through during the freeze";
  EXPECT_EQ(0, sb::umount(disk->part_dev(1)));
  EXPECT_FALSE(MountLockHeld(bdev));
  bdput(bdev);
}

// freeze_bdev leaves a file system mounted read-only alone (nothing can be
// written through it): no sync, no lockfs, no frozen instant; it still
// takes the mount lock, which the thaw gives back.
TEST_F(SuperTest, FreezingAReadOnlyMountLeavesItAlone) {
  auto disk = FsDisk();
  sb::devnum dev = disk->part_dev(1);
  ASSERT_EQ(0, sb::mount(dev, /*read_only=*/true));
  std::vector<std::uint8_t> data(4096, 1);
  EXPECT_EQ(-EROFS, sb::fs_write(dev, 0, data.data(), data.size()));
  EXPECT_EQ(0, sb::fs_read(dev, 0, data.data(), data.size()));
  int instants = 0;
  sb::set_freeze_hook([&](sb::devnum, struct super_block*) { instants++; });
  struct block_device* bdev = bdget(dev);
  struct super_block* s = freeze_bdev(bdev);
  ASSERT_NE(nullptr, s);
  EXPECT_TRUE(s->s_flags & MS_RDONLY);
  EXPECT_EQ(SB_UNFROZEN, Info(dev).frozen);
  EXPECT_EQ(0, Info(dev).lockfs_calls);
  EXPECT_EQ(0, Info(dev).sync_calls);
  EXPECT_EQ(0, instants);
  EXPECT_TRUE(MountLockHeld(bdev));
  thaw_bdev(bdev, s);
  EXPECT_EQ(0, Info(dev).unlockfs_calls);
  EXPECT_FALSE(MountLockHeld(bdev));
  sb::set_freeze_hook({});
  bdput(bdev);
  EXPECT_EQ(0, sb::umount(dev));
}

TEST_F(SuperTest, WritersThroughTheFileSystemWaitForTheThaw) {
  auto disk = FsDisk();
  sb::devnum dev = disk->part_dev(1);
  ASSERT_EQ(0, sb::mount(dev));
  struct block_device* bdev = bdget(dev);

  struct super_block* s = freeze_bdev(bdev);
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(SB_FREEZE_TRANS, s->s_frozen);
  EXPECT_EQ(1, Info(dev).lockfs_calls);
  EXPECT_EQ(0, Info(dev).unlockfs_calls);
  long writes = disk->counters().writes;

  auto data = Pattern(8192, 11);
  std::atomic<bool> thawing{false}, writer_saw_thaw{false};
  int result = 1;
  std::thread writer([&] {
    result = sb::fs_write(dev, 4096, data.data(), data.size());
    writer_saw_thaw = thawing.load();
  });
  ASSERT_TRUE(Eventually([&] { return Info(dev).waiting_writers == 1; }));
  EXPECT_EQ(writes, disk->counters().writes) << "a frozen file system wrote";

  // Reads and raw writes to the device are not held by the freeze.
  std::vector<std::uint8_t> buf(4096);
  EXPECT_EQ(0, sb::fs_read(dev, 0, buf.data(), buf.size()));
  EXPECT_EQ(0, sb::rw_sectors(dev, WRITE, 100, buf.data(), buf.size()));

  thawing = true;
  thaw_bdev(bdev, s);
  writer.join();
  EXPECT_EQ(0, result);
  EXPECT_TRUE(writer_saw_thaw);
  EXPECT_EQ(1, Info(dev).unlockfs_calls);
  EXPECT_EQ(SB_UNFROZEN, Info(dev).frozen);
  std::vector<std::uint8_t> back(data.size());
  ASSERT_TRUE(sb::read_device(dev, 4096, back.data(), back.size()));
  EXPECT_EQ(data, back);
  bdput(bdev);
  EXPECT_EQ(0, sb::umount(dev));
}

TEST_F(SuperTest, FreezeAndFsyncWaitForTheWritesInFlight) {
  auto disk = FsDisk();
  sb::devnum dev = disk->part_dev(1);
  ASSERT_EQ(0, sb::mount(dev));
  struct block_device* bdev = bdget(dev);
  auto data = Pattern(4096, 12);
  std::vector<std::uint8_t> at_freeze(4096);
  sb::set_freeze_hook([&](sb::devnum d, struct super_block*) {
    EXPECT_EQ(dev, d);
    EXPECT_TRUE(sb::read_device(d, 0, at_freeze.data(), at_freeze.size()));
  });

  for (int round = 0; round < 2; round++) {  // 0: freeze_bdev, 1: fsync_bdev
    disk->hold(true);
    std::atomic<bool> write_done{false};
    std::thread writer([&] {
      EXPECT_EQ(0, sb::fs_write(dev, 0, data.data(), data.size()));
      write_done = true;
    });
    ASSERT_TRUE(Eventually([&] { return disk->in_flight() == 1; }));
    std::atomic<bool> sync_saw_write{false};
    std::thread syncer([&] {
      if (round == 0) {
        struct super_block* s = freeze_bdev(bdev);
        sync_saw_write = write_done.load() || disk->in_flight() == 0;
        thaw_bdev(bdev, s);
      } else {
        EXPECT_EQ(0, fsync_bdev(bdev));
        sync_saw_write = disk->in_flight() == 0;
      }
    });
    disk->hold(false);
    syncer.join();
    writer.join();
    EXPECT_TRUE(sync_saw_write) << (round ? "fsync_bdev" : "freeze_bdev")
                                << " returned with the write in flight";
    if (round == 0) {
      EXPECT_EQ(data, at_freeze) << "the frozen image misses a finished write";
    }
    data = Pattern(4096, 13);
  }
  EXPECT_GE(Info(dev).sync_calls, 2);
  bdput(bdev);
  EXPECT_EQ(0, sb::umount(dev));
}

// sync_blockdev writes out the device's page cache, which in the stand-in
// is the mounted file system's writes; a bio that other code sent to the
// device itself is not the page cache's, and a sync does not wait for it.
TEST_F(SuperTest, SyncBlockdevWaitsForTheFileSystemsWritesNotForOtherBios) {
  auto disk = FsDisk();
  sb::devnum dev = disk->part_dev(1);
  ASSERT_EQ(0, sb::mount(dev));
  struct block_device* part = bdget(dev);
  struct block_device* whole = OpenBdev(disk->dev());
  disk->hold(true);
  TestBio raw(whole, 8000, 4096);  // outside the file system's first blocks
  submit_bio(WRITE, raw.bio);
  std::atomic<bool> fs_done{false};
  std::thread writer([&] {
    auto data = Pattern(4096, 3);
    EXPECT_EQ(0, sb::fs_write(dev, 64 * 1024, data.data(), data.size()));
    fs_done = true;
  });
  ASSERT_TRUE(Eventually([&] { return disk->in_flight() == 2; }));
  std::atomic<bool> synced{false};
  std::thread syncer([&] {
    sync_blockdev(part);
    synced = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(synced.load()) << "the sync did not wait for the file system's write";
  disk->hold(false);
  writer.join();
  syncer.join();
  EXPECT_TRUE(fs_done.load());
  ASSERT_TRUE(raw.Wait());

  // Only the raw bio in flight: the sync does not wait for it.
  disk->hold(true);
  TestBio raw2(whole, 8000, 4096);
  submit_bio(WRITE, raw2.bio);
  ASSERT_TRUE(Eventually([&] { return disk->in_flight() == 1; }));
  RunOrDie("sync with a raw bio held", [&] { sync_blockdev(part); });
  EXPECT_FALSE(raw2.Done());
  disk->hold(false);
  ASSERT_TRUE(raw2.Wait());
  blkdev_put(whole);
  bdput(part);
  EXPECT_EQ(0, sb::umount(dev));
}

TEST_F(SuperTest, UnmountWaitsForTheThaw) {
  auto disk = FsDisk();
  sb::devnum dev = disk->part_dev(1);
  ASSERT_EQ(0, sb::mount(dev));
  struct block_device* bdev = bdget(dev);
  struct super_block* s = freeze_bdev(bdev);
  std::atomic<bool> thawing{false}, saw_thaw{false};
  std::thread unmounter([&] {
    EXPECT_EQ(0, sb::umount(dev));
    saw_thaw = thawing.load();
  });
  thawing = true;
  thaw_bdev(bdev, s);
  unmounter.join();
  EXPECT_TRUE(saw_thaw);
  EXPECT_FALSE(sb::mounted(dev));
  bdput(bdev);
}

// Writers stamp 4 KiB blocks with (block, sequence); each writer owns its
// own blocks, so a block's last finished write is the one on the device.
TEST_F(SuperTest, TheGroundTruthCopyIsTheDeviceAtTheFrozenInstant) {
  auto disk = FsDisk();
  sb::devnum dev = disk->part_dev(1);
  ASSERT_EQ(0, sb::mount(dev));
  constexpr int kBlocks = 64, kWriters = 2;
  // Per block: the sequence of the last write begun and of the last finished.
  std::vector<std::atomic<std::uint32_t>> begun_seq(kBlocks), done_seq(kBlocks);
  std::atomic<long> total{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; t++)
    writers.emplace_back([&, t] {
      std::uint32_t seq = 0;
      std::vector<std::uint32_t> block(1024);
      for (int i = 0; !stop.load() && i < 100000; i++) {
        int b = t + kWriters * (i % (kBlocks / kWriters));
        ++seq;
        for (std::size_t w = 0; w < block.size(); w += 2) {
          block[w] = static_cast<std::uint32_t>(b);
          block[w + 1] = seq;
        }
        begun_seq[b] = seq;
        if (sb::fs_write(dev, static_cast<std::uint64_t>(b) * 4096, block.data(), 4096) != 0) break;
        done_seq[b] = seq;
        total++;
      }
    });
  ASSERT_TRUE(Eventually([&] { return total.load() >= 200; }));

  std::vector<std::uint8_t> copy;
  sb::set_freeze_hook([&](sb::devnum d, struct super_block* s) {
    EXPECT_NE(SB_UNFROZEN, s->s_frozen);
    copy = sb::device_bytes(d);
  });
  std::vector<std::uint32_t> before(kBlocks);
  for (int b = 0; b < kBlocks; b++) before[b] = done_seq[b];
  struct block_device* bdev = bdget(dev);
  struct super_block* s = freeze_bdev(bdev);
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(copy, sb::device_bytes(dev)) << "the device changed while frozen";
  std::vector<std::uint32_t> begun(kBlocks);
  for (int b = 0; b < kBlocks; b++) begun[b] = begun_seq[b];
  long at_thaw = total.load();
  thaw_bdev(bdev, s);
  ASSERT_TRUE(Eventually([&] { return total.load() >= at_thaw + 20; }));
  stop = true;
  for (auto& w : writers) w.join();
  bdput(bdev);

  ASSERT_EQ(8192u * 512, copy.size());
  for (int b = 0; b < kBlocks; b++) {
    std::uint32_t stamp[2];
    std::memcpy(stamp, copy.data() + b * 4096, sizeof(stamp));
    if (stamp[1] == 0) {
      EXPECT_EQ(0u, before[b]) << "block " << b;
      continue;
    }
    EXPECT_EQ(static_cast<std::uint32_t>(b), stamp[0]);
    // Every write finished before the freeze is in; none begun after the
    // thaw is.
    EXPECT_GE(stamp[1], before[b]) << "block " << b;
    EXPECT_LE(stamp[1], begun[b]) << "block " << b;
  }
  EXPECT_NE(copy, sb::device_bytes(dev)) << "the writers did not go on after the thaw";
  EXPECT_EQ(0, sb::umount(dev));
}

struct ExtCase {
  const char* type;
  unsigned block_size;
};

class ExtProbeTest : public SuperTest, public ::testing::WithParamInterface<ExtCase> {
 protected:
  void TearDown() override {
    ::unlink(path_.c_str());
    SuperTest::TearDown();
  }
  // Makes the file system with mke2fs; false when mke2fs is not there.
  bool Make() {
    if (std::system("command -v mke2fs >/dev/null 2>&1") != 0) return false;
    std::string cmd = std::string("mke2fs -q -F -t ") + GetParam().type + " -b " +
                      std::to_string(GetParam().block_size) + " " + path_ + " 8M >/dev/null 2>&1";
    EXPECT_EQ(0, std::system(cmd.c_str())) << cmd;
    return true;
  }
  std::string path_ = TempPath(std::string("ext-") + GetParam().type + "-" +
                               std::to_string(GetParam().block_size));
};

TEST_P(ExtProbeTest, AMountReadsTheBlockSizeFromTheRealSuperBlock) {
  if (!Make()) GTEST_SKIP() << "mke2fs is not installed";
  auto disk = Disk::file(path_);
  ASSERT_NE(nullptr, disk);
  ASSERT_EQ(0, sb::mount(disk->dev()));
  FsInfo info = Info(disk->dev());
  EXPECT_EQ(GetParam().type, info.type);
  EXPECT_EQ(GetParam().block_size, info.block_size);
  struct block_device* bdev = bdget(disk->dev());
  struct super_block* s = get_super(bdev);
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(GetParam().block_size, s->s_blocksize);
  EXPECT_EQ(0xEF53u, s->s_magic);
  EXPECT_EQ(GetParam().block_size, bdev->bd_block_size);
  drop_super(s);
  bdput(bdev);
  EXPECT_EQ(0, sb::umount(disk->dev()));

  // The same image inside a partition of another disk.
  auto image = sb::device_bytes(disk->dev());
  auto outer = Disk::ram(image.size() / 512 + 4096);
  ASSERT_TRUE(sb::write_mbr(*outer, {{2048, image.size() / 512}}));
  ASSERT_EQ(0, outer->rescan());
  ASSERT_TRUE(outer->write_bytes(2048 * 512, image.data(), image.size()));
  ASSERT_EQ(0, sb::mount(outer->part_dev(1)));
  EXPECT_EQ(GetParam().block_size, Info(outer->part_dev(1)).block_size);
  EXPECT_EQ(0, sb::umount(outer->part_dev(1)));
}

INSTANTIATE_TEST_SUITE_P(Images, ExtProbeTest,
                         ::testing::Values(ExtCase{"ext4", 1024}, ExtCase{"ext4", 4096},
                                           ExtCase{"ext3", 4096}, ExtCase{"ext2", 1024}),
                         [](const auto& info) {
                           return std::string(info.param.type) + "_" +
                                  std::to_string(info.param.block_size);
                         });

TEST_F(SuperTest, AnExtBlockSizeLargerThanAPageIsRefused) {
  auto disk = Disk::ram(kSectors);
  std::vector<std::uint8_t> sbuf(1024, 0);
  sbuf[56] = 0x53;
  sbuf[57] = 0xEF;
  sbuf[24] = 3;  // 8192-byte blocks
  ASSERT_TRUE(disk->write_bytes(1024, sbuf.data(), sbuf.size()));
  EXPECT_EQ(-EINVAL, sb::mount(disk->dev()));
  sbuf[24] = 2;
  ASSERT_TRUE(disk->write_bytes(1024, sbuf.data(), sbuf.size()));
  EXPECT_EQ(0, sb::mount(disk->dev()));
  EXPECT_EQ(4096u, Info(disk->dev()).block_size);
  EXPECT_EQ("ext2", Info(disk->dev()).type);
  EXPECT_EQ(0, sb::umount(disk->dev()));
}

}  // namespace
