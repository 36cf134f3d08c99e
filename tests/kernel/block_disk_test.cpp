// Disks and bio submission: asynchronous completion on the disk's own
// threads, several bios in flight, partition remapping, resubmission,
// the end of the device, a disk without a queue, fault ranges, file disks,
// numbering and block-device references.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "block_test_util.h"

#include <linux/errno.h>
#include <linux/fs.h>

namespace {

using namespace blocktest;
using standin::block::Disk;
using standin::block::DiskConfig;
using standin::mem::Kind;

constexpr std::uint64_t kSectors = 8192;  // 4 MiB

class DiskTest : public KernelTest {
 protected:
  // Two primary partitions: 1 at 63 (2000 sectors), 2 at 4096 (4000).
  std::unique_ptr<Disk> PartitionedDisk(const DiskConfig& cfg = {}) {
    auto disk = Disk::ram(kSectors, cfg);
    EXPECT_TRUE(sb::write_mbr(*disk, {{63, 2000}, {4096, 4000}}));
    EXPECT_EQ(0, disk->rescan());
    return disk;
  }
};

TEST_F(DiskTest, CompletionRunsLaterOnTheDisksOwnThread) {
  auto disk = Disk::ram(kSectors);
  struct block_device* bdev = OpenBdev(disk->dev());
  auto data = Pattern(8192, 1);
  disk->hold(true);
  TestBio w(bdev, 16, data.size());
  w.Fill(data);
  submit_bio(WRITE, w.bio);
  EXPECT_FALSE(w.Done()) << "the bio completed in the submitter's context";
  EXPECT_EQ(1, disk->in_flight());
  disk->hold(false);
  ASSERT_TRUE(w.Wait());
  EXPECT_NE(std::this_thread::get_id(), w.thread);
  EXPECT_NE(current->pid, w.pid) << "completion ran with the submitter's task";
  EXPECT_EQ(disk->name() + "-io", w.comm.substr(0, disk->name().size() + 3));
  EXPECT_EQ(0, w.error);
  EXPECT_TRUE(w.uptodate);
  EXPECT_EQ(1, w.calls);
  EXPECT_EQ(8192u, w.bytes);
  EXPECT_EQ(0u, w.bio->bi_size) << "bi_size counts down to 0";

  std::vector<std::uint8_t> back(data.size());
  ASSERT_TRUE(disk->read_bytes(16 * 512, back.data(), back.size()));
  EXPECT_EQ(data, back);
  blkdev_put(bdev);
}

TEST_F(DiskTest, SeveralBiosAreInFlightAtOnceAndAllComplete) {
  auto disk = Disk::ram(kSectors);
  struct block_device* bdev = OpenBdev(disk->dev());
  disk->reset_counters();  // the partition scan read sector 0
  disk->hold(true);
  std::vector<std::unique_ptr<TestBio>> bios;
  for (int i = 0; i < 8; i++) {
    bios.push_back(std::make_unique<TestBio>(bdev, 64 * i, 4096));
    bios.back()->Fill(Pattern(4096, 10 + i));
    submit_bio(WRITE, bios.back()->bio);
  }
  EXPECT_EQ(8, disk->in_flight());
  for (auto& b : bios) EXPECT_FALSE(b->Done());
  disk->hold(false);
  for (auto& b : bios) ASSERT_TRUE(b->Wait());
  EXPECT_EQ(0, disk->in_flight());
  EXPECT_EQ(8, disk->counters().writes);

  // And read back through bios.
  for (int i = 0; i < 8; i++) {
    TestBio r(bdev, 64 * i, 4096);
    submit_bio(READ, r.bio);
    ASSERT_TRUE(r.Wait());
    EXPECT_EQ(Pattern(4096, 10 + i), r.Data()) << "bio " << i;
  }
  EXPECT_EQ(8, disk->counters().reads);
  EXPECT_EQ(8 * 8, disk->counters().read_sectors);
  blkdev_put(bdev);
}

TEST_F(DiskTest, PartitionBiosAreRemappedToTheWholeDisk) {
  auto disk = PartitionedDisk();
  struct block_device* whole = bdget(disk->dev());
  struct block_device* p2 = bdget(disk->part_dev(2));
  ASSERT_NE(nullptr, p2);
  std::vector<std::pair<struct block_device*, sector_t>> seen;
  QueueHook hook(disk->queue(), [&](request_queue_t* q, struct bio* bio, make_request_fn* real) {
    seen.emplace_back(bio->bi_bdev, bio->bi_sector);
    return real(q, bio);
  });
  auto data = Pattern(4096, 2);
  ASSERT_EQ(0, sb::rw_sectors(disk->part_dev(2), WRITE, 10, data.data(), data.size()));
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(whole, seen[0].first);
  EXPECT_EQ(4096u + 10, seen[0].second);
  std::vector<std::uint8_t> back(4096);
  ASSERT_TRUE(disk->read_bytes((4096 + 10) * 512, back.data(), back.size()));
  EXPECT_EQ(data, back);
  // The partition's own view gives the same bytes.
  ASSERT_TRUE(sb::read_device(disk->part_dev(2), 10 * 512, back.data(), back.size()));
  EXPECT_EQ(data, back);
  bdput(p2);
  bdput(whole);
}

TEST_F(DiskTest, ANonZeroResultFromMakeRequestSubmitsTheBioAgain) {
  auto disk = Disk::ram(kSectors);
  int calls = 0;
  QueueHook hook(disk->queue(), [&](request_queue_t* q, struct bio* bio, make_request_fn* real) {
    if (++calls < 3) {  // a stacking driver that remaps twice
      bio->bi_sector += 100;
      return 1;
    }
    return real(q, bio);
  });
  auto data = Pattern(1024, 3);
  ASSERT_EQ(0, sb::rw_sectors(disk->dev(), WRITE, 0, data.data(), data.size()));
  EXPECT_EQ(3, calls);
  std::vector<std::uint8_t> back(1024);
  ASSERT_TRUE(disk->read_bytes(200 * 512, back.data(), back.size()));
  EXPECT_EQ(data, back);
}

TEST_F(DiskTest, BiosBeyondTheEndOfTheDeviceFailWithoutReachingTheDisk) {
  auto disk = PartitionedDisk();
  std::vector<std::uint8_t> buf(4096);
  disk->reset_counters();
  // The last 4 KiB of partition 1 is fine; 512 bytes more is not.
  EXPECT_EQ(0, sb::rw_sectors(disk->part_dev(1), READ, 2000 - 8, buf.data(), 4096));
  EXPECT_EQ(-EIO, sb::rw_sectors(disk->part_dev(1), READ, 2000 - 7, buf.data(), 4096));
  EXPECT_EQ(-EIO, sb::rw_sectors(disk->dev(), WRITE, kSectors - 1, buf.data(), 1024));
  EXPECT_EQ(1, disk->counters().reads) << "a bio past the end reached the disk";
  EXPECT_EQ(0, disk->counters().writes);
  auto log = NewLog();
  EXPECT_EQ(2, std::count(log.begin(), log.end(), "<6>attempt to access beyond end of device"));
}

TEST_F(DiskTest, BioEndingPastTheDiskFailsAlsoWhenSentToTheDriverDirectly) {
  auto disk = Disk::ram(kSectors);
  struct block_device* bdev = OpenBdev(disk->dev());
  TestBio b(bdev, kSectors - 4, 4096);
  disk->queue()->make_request_fn(disk->queue(), b.bio);  // as a module passes a bio on
  ASSERT_TRUE(b.Wait());
  EXPECT_EQ(-EIO, b.error);
  EXPECT_FALSE(b.uptodate);
  blkdev_put(bdev);
}

TEST_F(DiskTest, ADiskWithoutAQueueFailsItsBios) {
  DiskConfig cfg;
  cfg.major = 254;
  cfg.minors = 1;
  cfg.with_queue = false;
  auto disk = Disk::ram(kSectors, cfg);
  ASSERT_NE(nullptr, disk);
  EXPECT_EQ(nullptr, disk->gendisk()->queue);
  struct block_device* bdev = OpenBdev(disk->dev());
  ASSERT_NE(nullptr, bdev);
  EXPECT_EQ(nullptr, bdev_get_queue(bdev));
  TestBio b(bdev, 0, 512);
  generic_make_request(b.bio);
  ASSERT_TRUE(b.Wait());
  EXPECT_EQ(-EIO, b.error);
  EXPECT_FALSE(b.uptodate);
  auto log = NewLog();
  ASSERT_FALSE(log.empty());
  EXPECT_NE(std::string::npos, log.back().find("nonexistent block-device"));
  blkdev_put(bdev);
}

TEST_F(DiskTest, FaultRangesFailTheirDirectionOnly) {
  auto disk = Disk::ram(kSectors);
  disk->add_fault({100, 8, /*reads=*/true, /*writes=*/false});
  disk->add_fault({200, 1, /*reads=*/false, /*writes=*/true});
  std::vector<std::uint8_t> buf(4096);
  struct block_device* bdev = OpenBdev(disk->dev());

  TestBio r(bdev, 104, 512);  // inside the read fault
  submit_bio(READ, r.bio);
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ(-EIO, r.error);
  EXPECT_FALSE(r.uptodate);

  EXPECT_EQ(-EIO, sb::rw_sectors(disk->dev(), READ, 96, buf.data(), 4096)) << "overlapping read";
  EXPECT_EQ(0, sb::rw_sectors(disk->dev(), WRITE, 100, buf.data(), 4096)) << "write in a read fault";
  EXPECT_EQ(0, sb::rw_sectors(disk->dev(), READ, 108, buf.data(), 4096)) << "just after the range";
  EXPECT_EQ(-EIO, sb::rw_sectors(disk->dev(), WRITE, 196, buf.data(), 4096));
  EXPECT_EQ(0, sb::rw_sectors(disk->dev(), READ, 196, buf.data(), 4096));
  EXPECT_EQ(3, disk->counters().failed);

  // A failed write leaves the storage alone.
  std::vector<std::uint8_t> zero(512, 0), now(512);
  auto data = Pattern(512, 4);
  EXPECT_EQ(-EIO, sb::rw_sectors(disk->dev(), WRITE, 200, data.data(), 512));
  ASSERT_TRUE(disk->read_bytes(200 * 512, now.data(), 512));
  EXPECT_EQ(zero, now);

  disk->clear_faults();
  EXPECT_EQ(0, sb::rw_sectors(disk->dev(), READ, 100, buf.data(), 4096));
  blkdev_put(bdev);
}

TEST_F(DiskTest, DelayedBiosStillCompleteInAnyInterleaving) {
  auto disk = Disk::ram(kSectors);
  disk->set_delay_us(200);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 2; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; i++) {
        auto data = Pattern(4096, 100 * t + i);
        std::vector<std::uint8_t> back(4096);
        std::uint64_t sector = (t * 10 + i) * 8;
        if (sb::rw_sectors(disk->dev(), WRITE, sector, data.data(), 4096) != 0 ||
            sb::rw_sectors(disk->dev(), READ, sector, back.data(), 4096) != 0 || back != data)
          failures++;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
}


// As 2.6's RAM disk driver: the bio is done before submit_bio returns, in
// the submitter's own task and not from interrupt context.
TEST_F(DiskTest, ASubmitterContextDiskCompletesBeforeSubmitReturns) {
  DiskConfig cfg;
  cfg.completion = DiskConfig::Completion::submitter;
  auto disk = Disk::ram(kSectors, cfg);
  struct block_device* bdev = OpenBdev(disk->dev());
  ASSERT_NE(nullptr, bdev);
  auto data = Pattern(4096, 21);
  TestBio w(bdev, 8, data.size());
  w.Fill(data);
  submit_bio(WRITE, w.bio);
  EXPECT_TRUE(w.Done()) << "not completed when submit_bio returned";
  EXPECT_EQ(std::this_thread::get_id(), w.thread);
  EXPECT_EQ(current->pid, w.pid);
  EXPECT_EQ(0, w.error);
  TestBio r(bdev, 8, data.size());
  submit_bio(READ, r.bio);
  ASSERT_TRUE(r.Done());
  EXPECT_EQ(data, r.Data());
  blkdev_put(bdev);
}

// A disk that ends each bio in parts calls bi_end_io once per part; a part
// that fails ends the rest of the bio with it, the parts before it done.
TEST_F(DiskTest, APartialCompletionDiskEndsEachPartAndFailsTheRestAfterABadOne) {
  DiskConfig cfg;
  cfg.completion = DiskConfig::Completion::partial;
  cfg.partial_sectors = 2;
  auto disk = Disk::ram(kSectors, cfg);
  struct block_device* bdev = OpenBdev(disk->dev());
  ASSERT_NE(nullptr, bdev);
  auto data = Pattern(4096, 22);
  ASSERT_TRUE(disk->write_bytes(64 * 512, data.data(), data.size()));
  TestBio r(bdev, 64, 4096);
  submit_bio(READ, r.bio);
  ASSERT_TRUE(r.Wait());
  EXPECT_EQ(4, r.calls) << "one call per 1 KiB part";
  EXPECT_EQ(4096u, r.bytes);
  EXPECT_EQ(0, r.error);
  EXPECT_EQ(data, r.Data());

  disk->add_fault({64 + 5, 1, true, false});  // in the third part
  TestBio f(bdev, 64, 4096);
  submit_bio(READ, f.bio);
  ASSERT_TRUE(f.Wait());
  EXPECT_EQ(3, f.calls) << "two good parts, then the rest at once";
  EXPECT_EQ(-EIO, f.error);
  EXPECT_FALSE(f.uptodate);
  auto got = f.Data();
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 2048, got.begin())) << "the good parts";
  blkdev_put(bdev);
}

// A disk that cannot order writes refuses barrier writes at once with
// -EOPNOTSUPP, as 2.6's block layer does; others pass.
TEST_F(DiskTest, ABarrierWriteToADiskWithoutBarriersIsNotSupported) {
  for (bool barriers : {false, true}) {
    DiskConfig cfg;
    cfg.barriers = barriers;
    auto disk = Disk::ram(kSectors, cfg);
    struct block_device* bdev = OpenBdev(disk->dev());
    ASSERT_NE(nullptr, bdev);
    TestBio w(bdev, 0, 4096);
    w.Fill(Pattern(4096, 23));
    w.bio->bi_rw |= 1UL << BIO_RW_BARRIER;
    submit_bio(WRITE, w.bio);
    ASSERT_TRUE(w.Wait());
    EXPECT_EQ(barriers ? 0 : -EOPNOTSUPP, w.error) << "barriers " << barriers;
    blkdev_put(bdev);
  }
}

// The disk fault sites fail only the chosen bio of their kind, on either
// way of completing: the Nth read or write ends -EIO with nothing moved;
// a partial failure ends its first half done and the rest -EIO; a
// not-supported one ends at once with -EOPNOTSUPP.
TEST_F(DiskTest, DiskFaultSitesFailTheNthBioOfTheirKind) {
  using standin::fault::Site;
  for (auto mode : {DiskConfig::Completion::async, DiskConfig::Completion::submitter}) {
    DiskConfig cfg;
    cfg.completion = mode;
    auto disk = Disk::ram(kSectors, cfg);
    struct block_device* bdev = OpenBdev(disk->dev());
    ASSERT_NE(nullptr, bdev);
    auto data = Pattern(4096, 31);
    ASSERT_TRUE(disk->write_bytes(64 * 512, data.data(), data.size()));
    std::vector<std::uint8_t> buf(4096), zero(4096, 0), now(4096);

    standin::fault::set(Site::disk_read, {.nth = 2, .times = 1});
    EXPECT_EQ(0, sb::rw_sectors(disk->dev(), WRITE, 200, data.data(), 4096)) << "writes do not count";
    EXPECT_EQ(0, sb::rw_sectors(disk->dev(), READ, 64, buf.data(), 4096));
    EXPECT_EQ(-EIO, sb::rw_sectors(disk->dev(), READ, 64, buf.data(), 4096));
    EXPECT_EQ(0, sb::rw_sectors(disk->dev(), READ, 64, buf.data(), 4096));
    EXPECT_EQ(3, standin::fault::calls(Site::disk_read));

    standin::fault::set(Site::disk_write, {.nth = 1, .times = 1});
    EXPECT_EQ(-EIO, sb::rw_sectors(disk->dev(), WRITE, 300, data.data(), 4096));
    ASSERT_TRUE(disk->read_bytes(300 * 512, now.data(), now.size()));
    EXPECT_EQ(zero, now) << "a failed write moves nothing";

    standin::fault::set(Site::disk_partial, {.nth = 1, .times = 1});
    TestBio r(bdev, 64, 4096);
    submit_bio(READ, r.bio);
    ASSERT_TRUE(r.Wait());
    EXPECT_EQ(2, r.calls) << "the first half, then the rest";
    EXPECT_EQ(4096u, r.bytes);
    EXPECT_EQ(-EIO, r.error);
    EXPECT_FALSE(r.uptodate);
    auto got = r.Data();
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 2048, got.begin())) << "the good half";

    standin::fault::set(Site::disk_notsupp, {.nth = 1, .times = 1});
    TestBio w(bdev, 400, 4096);
    w.Fill(data);
    submit_bio(WRITE, w.bio);
    ASSERT_TRUE(w.Wait());
    EXPECT_EQ(-EOPNOTSUPP, w.error);
    ASSERT_TRUE(disk->read_bytes(400 * 512, now.data(), now.size()));
    EXPECT_EQ(zero, now);
    standin::fault::clear_all();
    EXPECT_EQ(0, sb::rw_sectors(disk->dev(), READ, 64, buf.data(), 4096));
    EXPECT_EQ(data, buf);
    blkdev_put(bdev);
  }
}

// Under memory pressure bio_alloc serves from a finite pool: a caller that
// may wait sleeps until a bio is freed, one that may not gets NULL.
TEST_F(DiskTest, BioAllocWaitsForThePoolWhenMemoryIsShort) {
  sb::set_bio_reserve(2);
  struct bio* a = bio_alloc(GFP_NOIO, 1);
  struct bio* b = bio_alloc(GFP_NOIO, 1);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(nullptr, bio_alloc(GFP_ATOMIC, 1));
  std::atomic<struct bio*> c{nullptr};
  std::thread waiter([&] { c = bio_alloc(GFP_NOIO, 1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(nullptr, c.load()) << "got a bio beyond the pool";
  bio_put(a);
  waiter.join();
  ASSERT_NE(nullptr, c.load());
  sb::set_bio_reserve(-1);
  struct bio* d = bio_alloc(GFP_ATOMIC, 1);
  EXPECT_NE(nullptr, d);
  bio_put(b);
  bio_put(c.load());
  bio_put(d);
}

class FileDiskTest : public KernelTest, public ::testing::WithParamInterface<bool> {
 protected:
  void TearDown() override {
    ::unlink(path_.c_str());
    KernelTest::TearDown();
  }
  std::string path_ = TempPath(GetParam() ? "direct" : "buffered");
};

TEST_P(FileDiskTest, WritesReachTheImageFileAndReadBack) {
  DiskConfig cfg;
  cfg.direct = GetParam();
  auto disk = Disk::file(path_, kSectors, cfg);
  ASSERT_NE(nullptr, disk);
  EXPECT_EQ(kSectors, disk->sectors());
  // Odd sectors and lengths: with O_DIRECT these are read-modify-writes.
  auto a = Pattern(64 * 1024, 5), b = Pattern(1536, 6);
  ASSERT_EQ(0, sb::rw_sectors(disk->dev(), WRITE, 0, a.data(), a.size()));
  ASSERT_EQ(0, sb::rw_sectors(disk->dev(), WRITE, 3, b.data(), b.size()));
  std::copy(b.begin(), b.end(), a.begin() + 3 * 512);

  std::vector<std::uint8_t> back(a.size());
  ASSERT_EQ(0, sb::rw_sectors(disk->dev(), READ, 0, back.data(), back.size()));
  EXPECT_EQ(a, back);

  int fd = ::open(path_.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::vector<std::uint8_t> file(a.size());
  ASSERT_EQ(static_cast<ssize_t>(file.size()), ::pread(fd, file.data(), file.size(), 0));
  ::close(fd);
  EXPECT_EQ(a, file);
}

TEST_P(FileDiskTest, AnExistingImageKeepsItsSizeAndContents) {
  auto data = Pattern(3 * 4096, 7);
  int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(static_cast<ssize_t>(data.size()), ::pwrite(fd, data.data(), data.size(), 0));
  ::close(fd);
  DiskConfig cfg;
  cfg.direct = GetParam();
  auto disk = Disk::file(path_, 0, cfg);
  ASSERT_NE(nullptr, disk);
  EXPECT_EQ(data.size() / 512, disk->sectors());
  std::vector<std::uint8_t> back(data.size());
  ASSERT_EQ(0, sb::rw_sectors(disk->dev(), READ, 0, back.data(), back.size()));
  EXPECT_EQ(data, back);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FileDiskTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Direct" : "Buffered"; });

TEST_F(DiskTest, MissingImageFileIsRefused) {
  EXPECT_EQ(nullptr, Disk::file("/nonexistent-dir/x.img"));
}

class NumberingTest : public KernelTest {};

TEST_F(NumberingTest, SdDisksTakeSixteenMinorsEachAndOtherMajorsTheirOwn) {
  auto a = Disk::ram(1024);
  auto b = Disk::ram(1024);
  EXPECT_EQ(sb::mkdev(8, 0), a->dev());
  EXPECT_EQ(sb::mkdev(8, 16), b->dev());
  EXPECT_EQ("sda", a->name());
  EXPECT_EQ("sdb", b->name());
  EXPECT_EQ(sb::mkdev(8, 17), b->part_dev(1));
  EXPECT_EQ(16, b->gendisk()->minors);
  EXPECT_EQ(16, b->gendisk()->first_minor);

  DiskConfig cfg;
  cfg.major = 253;
  cfg.minors = 4;
  auto c = Disk::ram(1024, cfg);
  auto d = Disk::ram(1024, cfg);
  EXPECT_EQ(sb::mkdev(253, 0), c->dev());
  EXPECT_EQ(sb::mkdev(253, 4), d->dev());
  cfg.first_minor = 2;  // inside c's range
  EXPECT_EQ(nullptr, Disk::ram(1024, cfg));

  a.reset();  // sda's numbers are free again
  auto e = Disk::ram(1024);
  EXPECT_EQ(sb::mkdev(8, 0), e->dev());
}

TEST_F(NumberingTest, BdgetGivesOneCountedRecordForAnyNumber) {
  auto disk = Disk::ram(kSectors);
  ASSERT_TRUE(sb::write_mbr(*disk, {{63, 2000}}));
  ASSERT_EQ(0, disk->rescan());
  long refs = standin::mem::usage().live(Kind::bdev_ref);

  struct block_device* none = bdget(sb::mkdev(8, 200));  // no such disk
  struct block_device* whole = bdget(disk->dev());
  struct block_device* again = bdget(disk->dev());
  struct block_device* p2 = bdget(disk->part_dev(2));  // no such partition
  ASSERT_NE(nullptr, none);
  ASSERT_NE(nullptr, whole);
  ASSERT_NE(nullptr, p2);
  EXPECT_EQ(whole, again);
  EXPECT_EQ(disk->dev(), whole->bd_dev);
  EXPECT_EQ(refs + 4, standin::mem::usage().live(Kind::bdev_ref));
  EXPECT_EQ(nullptr, whole->bd_disk) << "nothing is set before an open";
  EXPECT_EQ(nullptr, whole->bd_contains);

  EXPECT_EQ(-ENXIO, blkdev_get(none, FMODE_READ, 0));  // and the reference went with it
  EXPECT_EQ(-ENXIO, blkdev_get(p2, FMODE_READ, 0));
  EXPECT_EQ(refs + 2, standin::mem::usage().live(Kind::bdev_ref));

  ASSERT_EQ(0, blkdev_get(again, FMODE_READ, 0));
  EXPECT_EQ(whole, whole->bd_contains);
  EXPECT_EQ(nullptr, whole->bd_part);
  EXPECT_EQ(disk->gendisk(), whole->bd_disk);
  EXPECT_EQ(static_cast<loff_t>(kSectors) * 512, whole->bd_inode->i_size);
  EXPECT_EQ(disk->queue(), bdev_get_queue(whole));
  EXPECT_EQ(&disk->queue()->__queue_lock, disk->queue()->queue_lock);
  EXPECT_EQ(kSectors, get_capacity(disk->gendisk()));
  blkdev_put(whole);
  bdput(whole);
  EXPECT_EQ(refs, standin::mem::usage().live(Kind::bdev_ref));
  ExpectNoLeaks();
}

TEST_F(NumberingTest, AnOpenBlockDeviceOutlivesItsDisk) {
  auto disk = Disk::ram(kSectors);
  sb::devnum dev = disk->dev();
  struct block_device* bdev = OpenBdev(dev);
  ASSERT_NE(nullptr, bdev);
  disk.reset();
  EXPECT_EQ(-ENXIO, blkdev_get(bdget(dev), FMODE_READ, 0)) << "a removed disk cannot be opened";
  TestBio b(bdev, 0, 512);  // the record and its disk's are still valid memory
  generic_make_request(b.bio);
  ASSERT_TRUE(b.Wait());
  EXPECT_EQ(-EIO, b.error);
  blkdev_put(bdev);
}

// A bio for a device nobody has open has no disk to go to: the kernel oopses.
TEST_F(NumberingTest, ABioForADeviceThatIsNotOpenStopsTheKernel) {
  auto disk = Disk::ram(kSectors);
  struct block_device* bdev = bdget(disk->dev());
  EXPECT_DEATH(
      {
        TestBio b(bdev, 0, 512);
        generic_make_request(b.bio);
      },
      "bio for block device 8:0, which is not open");
  bdput(bdev);
}

}  // namespace
