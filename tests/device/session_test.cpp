// Backup sessions through the control device: the start and its refusals,
// the states a session passes through, the close in every state (the
// module-wide claim, the active session, the queue's make-request function,
// the worker thread), the statistics report at close and the state and
// statistics records.
#include <errno.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

#include "device/backup_fixture.h"
#include "device/user_pages.h"
#include "standin/fault.h"

namespace {

using namespace cgtest;
namespace fault = standin::fault;

// The 26 report lines written at close, in order, for a session of the
// given numbers (the two times are matched separately).
Lines ReportLines(const Stats& s) {
  auto l = [](const char* fmt, auto... v) {
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, v...);
    return std::string("<6>printStats: ") + buf;
  };
  return {
      l("device: major(%u) minor(%u)", s.major, s.minor),
      l("state: %u", s.state),
      l("block size: %i", s.blockSize),
      l("partition size (KB): %u", s.partitionSizeKB),
      l("file system size (blocks): %u", s.numBlocks),
      l("pages allocated for write journal: %d", s.curAllocAMPages),
      l("max cache size in blocks: %i", int(s.maxCacheBlocks)),
      l("total pages allocated: %d", s.totalAllocPages),
      l("current pages allocated: %d", s.curAllocPages),
      l("total Block Requests allocated: %d", s.totalAllocBRs),
      l("current Block Requests allocated: %d", s.curAllocBRs),
      l("total cached blocks: %d", s.totalAllocCPs),
      l("current cached blocks: %d", s.curAllocCPs),
      l("peak cached blocks: %d", s.peakAllocCPs),
      l("total block cache data structures: %d", s.totalCBs),
      l("current block cache data structures: %d", s.curCBs),
      l("total reads from disk: %d", s.totalReadBlocks),
      l("total reads from cache: %d", s.totalReadCBs),
      l("blocks cleaned from cache: %d", s.totalCleanedCBs),
      l("partition start (sector): %u", s.partitionStart),
      l("blocks per page: %i", s.blocksPerPage),
      l("max buffer size in pages: %i", s.maxVMPages),
      l("buffer pages allocated: %i", s.vmPages),
      l("commands processed: %d", s.ioctlCount),
      l("time to freeze in seconds: %d.%09d", int(s.eTimeToFreeze.tv_sec), int(s.eTimeToFreeze.tv_nsec)),
      l("time frozen in seconds: %d.%09d", int(s.eTimeFrozen.tv_sec), int(s.eTimeFrozen.tv_nsec)),
  };
}

std::string Finished(unsigned major, unsigned minor) {
  return "<6>closeBackup: backup finished device major=" + std::to_string(major) +
         " minor=" + std::to_string(minor);
}

class SessionTest : public BackupTest {
 protected:
  // The report lines and the finish line written since the last Remark().
  Lines Report() const {
    Lines out;
    for (const auto& l : NewLog())
      if (l.rfind("<6>printStats: ", 0) == 0 || l.rfind("<6>closeBackup: ", 0) == 0) out.push_back(l);
    return out;
  }
  // A start on a fresh open file succeeds, i.e. nothing holds the module;
  // the file is closed again.
  bool ModuleIsFree(blk::devnum dev, std::uint32_t blocks) {
    int fd = Open();
    int r = Start(fd, dev, blocks, blocks);
    EXPECT_EQ(0, Close(fd));
    return r == CGD_OK;
  }
};

TEST_F(SessionTest, StartBuildsTheSessionAndCloseTearsItDown) {
  blk::Disk* disk = nullptr;
  blk::devnum dev = MountedPart2(4096, &disk);
  const std::uint32_t n = Blocks(dev, 4096);
  int fd = Open();
  Remark();
  ASSERT_EQ(CGD_OK, Start(fd, dev, n, 100));
  EXPECT_EQ((Lines{"<6>backup_cache: kbackupd thread started",
                   "<6>ioctlStartBackup: backup started for device major=8 minor=2"}),
            NewLog());
  EXPECT_EQ(1u, standin::task::kernel_threads().size());
  State s = QueryState(fd);
  EXPECT_EQ(8u, s.major);
  EXPECT_EQ(2u, s.minor);
  EXPECT_EQ(unsigned(CGD_STATE_STARTED), s.state);
  EXPECT_EQ(4096, s.blockSize);
  EXPECT_EQ(1048576, s.mmapSize);
  // Before the snapshot nothing is hooked.
  EXPECT_TRUE(QueueIsReal(disk));

  Remark();
  ASSERT_EQ(0, Close(fd));
  EXPECT_TRUE(standin::task::wait_kernel_threads(5000));
  Lines report = Report();
  ASSERT_EQ(27u, report.size());
  EXPECT_EQ("<6>printStats: device: major(8) minor(2)", report[0]);
  EXPECT_EQ("<6>printStats: state: 7", report[1]);
  EXPECT_EQ(Finished(8, 2), report[26]);
  EXPECT_TRUE(Logged("<6>backup_cache: backupd thread exiting"));
  EXPECT_TRUE(QueueIsReal(disk));
  EXPECT_TRUE(ModuleIsFree(dev, n));
}

TEST_F(SessionTest, ReportAtCloseHasEveryLineInOrder) {
  blk::devnum dev = MountedPart2(1024);
  const std::uint32_t n = Blocks(dev, 1024) - 10;
  int fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, dev, n, 77));
  // A window mapped and unmapped before the close: its pages count in the
  // total only.
  std::uint8_t* w = MapWindow(fd, 3);
  ASSERT_NE(nullptr, w);
  EXPECT_EQ(0, user::munmap(w, 3 * 4096));
  QueryState(fd);
  Remark();
  ASSERT_EQ(0, Close(fd));

  Stats want = {};
  want.major = 8;
  want.minor = 2;
  want.state = CGD_STATE_CLOSING;
  want.blockSize = 1024;
  want.partitionSizeKB = unsigned(kPart2Sectors / 2);
  want.numBlocks = n;
  want.maxCacheBlocks = 77;
  want.totalAllocPages = 1 + 3;  // the preserved-block map and the window
  want.partitionStart = unsigned(kPart2Start);
  want.blocksPerPage = 4;
  want.maxVMPages = 64;
  want.ioctlCount = 2;
  Lines expect = ReportLines(want);
  expect.push_back(Finished(8, 2));
  EXPECT_EQ(expect, Report());
  // A session closed before its snapshot reports zero times, 9 digits.
  EXPECT_EQ("<6>printStats: time to freeze in seconds: 0.000000000", expect[24]);
}

TEST_F(SessionTest, SecondStartOnTheHolderIsAlreadyStarted) {
  blk::devnum dev = MountedPart2(4096);
  const std::uint32_t n = Blocks(dev, 4096);
  int fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, dev, n, n));
  Remark();
  EXPECT_EQ(CGD_ERR_ALREADY_STARTED, Start(fd, dev, n, n));
  EXPECT_EQ((Lines{"<3>ioctlStartBackup: tried to start backup on device major=8 minor=2 that is already busy"}),
            NewLog());
  EXPECT_EQ(unsigned(CGD_STATE_STARTED), StateOf(fd));
  // After the snapshot too: the running backup keeps its state.
  ASSERT_EQ(CGD_OK, Snap(fd));
  EXPECT_EQ(CGD_ERR_ALREADY_STARTED, Start(fd, dev, n, n));
  EXPECT_EQ(unsigned(CGD_STATE_SNAPPED), StateOf(fd));
  EXPECT_EQ(0, Close(fd));
  EXPECT_TRUE(ModuleIsFree(dev, n));
}

TEST_F(SessionTest, StartElsewhereWhileOneRunsIsRefused) {
  blk::Disk* disk = nullptr;
  blk::devnum dev = MountedPart2(4096, &disk);
  MountTestfs(disk->part_dev(1), 1024);
  const std::uint32_t n = Blocks(dev, 4096);
  int a = Open(), b = Open();
  ASSERT_EQ(CGD_OK, Start(a, dev, n, n));
  Remark();
  EXPECT_EQ(CGD_ERR_BACKUP_OPEN, Start(b, disk->part_dev(1), 1024, 1024));
  EXPECT_EQ((Lines{"<3>ioctlStartBackup: another backup operation is open can't start backup on device major=8 minor=1"}),
            NewLog());
  State s = QueryState(b);
  EXPECT_EQ(unsigned(CGD_STATE_REFUSED), s.state);
  EXPECT_EQ(0u, s.major);
  EXPECT_EQ(0u, s.minor);
  EXPECT_EQ(0, s.blockSize);
  // Refused again, still 12; the holder is untouched.
  EXPECT_EQ(CGD_ERR_BACKUP_OPEN, Start(b, dev, n, n));
  EXPECT_EQ(unsigned(CGD_STATE_REFUSED), StateOf(b));
  EXPECT_EQ(unsigned(CGD_STATE_STARTED), StateOf(a));
  EXPECT_EQ(0, Close(a));
  EXPECT_EQ(0, Close(b));
  EXPECT_TRUE(ModuleIsFree(dev, n));
}

// Closing a record that does not hold the running backup leaves that backup
// alone: it keeps the module, its hook and its copy-before-write.
TEST_F(SessionTest, ClosingANonHolderLeavesTheRunningBackupAlone) {
  blk::Disk* disk = nullptr;
  blk::devnum dev = MountedPart2(4096, &disk);
  const std::uint32_t n = Blocks(dev, 4096);
  std::vector<std::uint8_t> old(2 * 4096), fresh(4096, 0xa5), got(4096);
  for (std::uint32_t i = 0; i < old.size(); i++) old[i] = std::uint8_t(i * 7 + 1);
  ASSERT_EQ(0, blk::fs_write(dev, 40 * 4096, old.data(), old.size()));

  int a = Open();
  ASSERT_EQ(0, user::ioctl(a, CGD_NO_START_AUTOMAP, 0));
  ASSERT_EQ(CGD_OK, Start(a, dev, n, n));
  ASSERT_EQ(CGD_OK, Snap(a));
  ASSERT_FALSE(QueueIsReal(disk));

  // A never-started record: closes without a report.
  int idle = Open();
  Remark();
  EXPECT_EQ(0, Close(idle));
  EXPECT_EQ(Lines{}, Report());
  EXPECT_FALSE(QueueIsReal(disk));
  EXPECT_EQ(0, blk::fs_write(dev, 40 * 4096, fresh.data(), 4096));

  // A refused record: reports device 0:0 and leaves the claim alone.
  int refused = Open();
  EXPECT_EQ(CGD_ERR_BACKUP_OPEN, Start(refused, dev, n, n));
  Remark();
  EXPECT_EQ(0, Close(refused));
  Lines report = Report();
  ASSERT_EQ(27u, report.size());
  EXPECT_EQ("<6>printStats: device: major(0) minor(0)", report[0]);
  EXPECT_EQ("<6>printStats: state: 12", report[1]);
  EXPECT_EQ(Finished(0, 0), report[26]);
  EXPECT_FALSE(QueueIsReal(disk));
  EXPECT_EQ(0, blk::fs_write(dev, 41 * 4096, fresh.data(), 4096));

  // Still refused elsewhere.
  int c = Open();
  EXPECT_EQ(CGD_ERR_BACKUP_OPEN, Start(c, dev, n, n));
  EXPECT_EQ(0, Close(c));

  // Both writes were preserved: the image still shows the old bytes.
  EXPECT_EQ(2, StatsOf(a).curAllocCPs);
  ASSERT_EQ(CGD_OK, LoadMap(a, Bitmap::all(n)));
  std::uint8_t* w = MapWindow(a, 2);
  ASSERT_NE(nullptr, w);
  ASSERT_EQ(CGD_OK, Read(a, 40, 2, w));
  EXPECT_EQ(0, std::memcmp(w, old.data(), old.size()));
  ASSERT_TRUE(blk::read_device(dev, 40 * 4096, got.data(), 4096));
  EXPECT_EQ(fresh, got);
  EXPECT_EQ(0, user::munmap(w, 2 * 4096));
  EXPECT_EQ(0, Close(a));
  EXPECT_TRUE(QueueIsReal(disk));
  EXPECT_TRUE(ModuleIsFree(dev, n));
}

TEST_F(SessionTest, StartOnAnUnmountedDeviceKeepsTheClaimUntilClose) {
  blk::Disk* disk = nullptr;
  blk::devnum dev = MountedPart2(4096, &disk);
  const std::uint32_t n = Blocks(dev, 4096);
  int fd = Open();
  Remark();
  EXPECT_EQ(CGD_ERR_NO_DEVICE, Start(fd, disk->part_dev(1), 100, 100));
  EXPECT_EQ((Lines{"<3>getDiskInfo: device major=8 minor=1 not found, getting super block failed"}), NewLog());
  EXPECT_EQ(unsigned(CGD_STATE_IDLE), StateOf(fd));
  // The record holds the module: a second start is refused as already
  // started and the state stays 0; another record is refused with 9.
  EXPECT_EQ(CGD_ERR_ALREADY_STARTED, Start(fd, dev, n, n));
  EXPECT_EQ(unsigned(CGD_STATE_IDLE), StateOf(fd));
  int other = Open();
  EXPECT_EQ(CGD_ERR_BACKUP_OPEN, Start(other, dev, n, n));
  EXPECT_EQ(0, Close(other));
  Remark();
  EXPECT_EQ(0, Close(fd));
  EXPECT_EQ(Lines{}, Report());  // never got past the geometry: no report
  EXPECT_TRUE(QueueIsReal(disk));
  EXPECT_TRUE(ModuleIsFree(dev, n));
}

// Each step of the start that can fail after the geometry leaves state 1;
// the close releases what was built (ModuleTest checks at unload) and writes
// the report (of a session it has moved to 7).
TEST_F(SessionTest, StartFailuresAfterTheGeometryLeaveStateOne) {
  blk::Disk* disk = nullptr;
  blk::devnum dev = MountedPart2(4096, &disk);
  const std::uint32_t n = Blocks(dev, 4096);
  struct Case {
    const char* what;
    fault::Site site;
    fault::Attr attr;
    int status;      // ioctl result; -1 for a negative status
    std::string line;  // empty: no line of the start's own
  } const cases[] = {
      {"bucket cache", fault::Site::slab_create, {.nth = 1, .name_prefix = "cgdHT0802"}, CGD_ERR_NO_MEMORY,
       "<3>newBlockTable: kmem_cache_create failed for HashTable structs during backup start major=8 minor=2"},
      {"bucket table", fault::Site::vmalloc, {.nth = 1}, CGD_ERR_NO_MEMORY, ""},
      {"a bucket", fault::Site::slab_alloc, {.nth = 1000, .name_prefix = "cgdHT"}, CGD_ERR_NO_MEMORY, ""},
      {"worker thread", fault::Site::kthread, {.nth = 1}, -1, "<3>startWorkQueue: error starting cache thread"},
      {"cache-page cache", fault::Site::slab_create, {.nth = 1, .name_prefix = "cgdCP0802"}, CGD_ERR_NO_MEMORY,
       "<3>ioctlStartBackup: kmem_cache_create failed during backup start major=8 minor=2"},
      {"data cache", fault::Site::slab_create, {.nth = 1, .name_prefix = "cgdDC0802"}, CGD_ERR_NO_MEMORY,
       "<3>ioctlStartBackup: kmem_cache_create failed during backup start major=8 minor=2"},
      {"preserved-block map", fault::Site::vmalloc, {.nth = 2}, CGD_ERR_NO_MEMORY,
       "<3>newCacheMap: error creating cache map of size=" + std::to_string(n)},
      {"read slots", fault::Site::vmalloc, {.nth = 3}, CGD_ERR_NO_MEMORY, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int fd = Open();
    Remark();
    fault::set(c.site, c.attr);
    EXPECT_EQ(c.status, Start(fd, dev, n, n));
    EXPECT_EQ(1, fault::failures(c.site));
    fault::clear_all();
    if (!c.line.empty()) {
      EXPECT_TRUE(Logged(c.line)) << c.line;
    }
    EXPECT_FALSE(Logged("<6>ioctlStartBackup: backup started for device major=8 minor=2"));
    EXPECT_EQ(unsigned(CGD_STATE_STARTING), StateOf(fd));
    EXPECT_EQ(CGD_ERR_ALREADY_STARTED, Start(fd, dev, n, n));
    Remark();
    EXPECT_EQ(0, Close(fd));
    Lines report = Report();
    ASSERT_EQ(27u, report.size());
    EXPECT_EQ("<6>printStats: state: 7", report[1]);  // closing from state 1
    EXPECT_EQ(Finished(8, 2), report[26]);
    EXPECT_TRUE(standin::task::wait_kernel_threads(5000));
    EXPECT_TRUE(QueueIsReal(disk));
    EXPECT_TRUE(ModuleIsFree(dev, n));
  }
}

TEST_F(SessionTest, DeviceWithoutARequestQueueCannotStart) {
  blk::DiskConfig cfg;
  cfg.with_queue = false;
  cfg.minors = 1;
  cfg.major = 9;
  cfg.first_minor = 0;
  auto disk = blk::Disk::ram(8192, cfg);
  ASSERT_NE(nullptr, disk);
  MountTestfs(disk->dev(), 4096);
  int fd = Open();
  Remark();
  EXPECT_EQ(CGD_ERR_NOT_READY, Start(fd, disk->dev(), 1024, 1024));
  EXPECT_TRUE(Logged("<3>ioctlStartBackup: error getting real MRF for major=9 minor=0"));
  EXPECT_EQ(unsigned(CGD_STATE_STARTING), StateOf(fd));
  EXPECT_EQ(0, Close(fd));
  Umount(disk->dev());
}

// The states a session passes through, the refusals met on the way, and
// the close from each: the queue gets its own function back (no tracking
// here) and the module is free again.
TEST_F(SessionTest, WorkingStatesAndTheCloseFromEach) {
  blk::Disk* disk = nullptr;
  blk::devnum dev = MountedPart2(4096, &disk);
  const std::uint32_t n = Blocks(dev, 4096);
  for (unsigned last : {2u, 4u, 6u, 9u}) {
    SCOPED_TRACE(last);
    int fd = Open();
    EXPECT_EQ(unsigned(CGD_STATE_IDLE), StateOf(fd));
    ASSERT_EQ(0, user::ioctl(fd, CGD_NO_START_AUTOMAP, 0));
    ASSERT_EQ(CGD_OK, Start(fd, dev, n, n));
    EXPECT_EQ(unsigned(CGD_STATE_STARTED), StateOf(fd));
    Remark();
    EXPECT_EQ(CGD_ERR_INVALID, LoadMap(fd, Bitmap::all(n)));
    EXPECT_EQ((Lines{"<3>ioctlLoadBlockMap: backup error snapshot not complete"}), NewLog());
    EXPECT_EQ(unsigned(CGD_STATE_STARTED), StateOf(fd));
    if (last >= 4) {
      ASSERT_EQ(CGD_OK, Snap(fd));
      EXPECT_EQ(unsigned(CGD_STATE_SNAPPED), StateOf(fd));
      EXPECT_FALSE(QueueIsReal(disk));
      Remark();
      EXPECT_EQ(CGD_ERR_INVALID, Snap(fd));  // once per backup, silently
      EXPECT_EQ(Lines{}, NewLog());
    }
    if (last == 6) {
      ASSERT_EQ(CGD_OK, LoadMap(fd, Bitmap::all(n)));
      EXPECT_EQ(unsigned(CGD_STATE_READING), StateOf(fd));
      Remark();
      EXPECT_EQ(CGD_ERR_INVALID, LoadMap(fd, Bitmap::all(n)));
      EXPECT_EQ((Lines{"<3>ioctlLoadBlockMap: backup error snapshot not complete"}), NewLog());
      EXPECT_EQ(unsigned(CGD_STATE_READING), StateOf(fd));
    }
    if (last == 9) {
      Remark();
      EXPECT_EQ(CGD_ERR_INVALID, LoadMap(fd, Bitmap(0)));
      EXPECT_EQ(unsigned(CGD_STATE_MAP_ERROR), StateOf(fd));
      Lines log = NewLog();
      ASSERT_GE(log.size(), 2u);
      EXPECT_EQ("<3>newBUBlockMap: error creating map of size=0", log[log.size() - 2]);
      EXPECT_EQ("<3>ioctlLoadBlockMap: backup error failed to load device map", log.back());
      EXPECT_EQ(CGD_ERR_INVALID, LoadMap(fd, Bitmap::all(n)));
      EXPECT_EQ(unsigned(CGD_STATE_MAP_ERROR), StateOf(fd));
    }
    Remark();
    EXPECT_EQ(0, Close(fd));
    Lines report = Report();
    ASSERT_EQ(27u, report.size());
    EXPECT_EQ("<6>printStats: state: " + std::to_string(last == 9 ? 9 : 7), report[1]);
    EXPECT_TRUE(QueueIsReal(disk));
    EXPECT_TRUE(standin::task::wait_kernel_threads(5000));
    EXPECT_TRUE(ModuleIsFree(dev, n));
  }
}

// Error states of copy-before-write: an old block that cannot be read (8),
// the cache limit (10) and a write the hook cannot hold (13).  Writes are not lost; the close settles the queue.
TEST_F(SessionTest, CopyBeforeWriteErrorStates) {
  blk::Disk* disk = nullptr;
  blk::devnum dev = MountedPart2(4096, &disk);
  const std::uint32_t n = Blocks(dev, 4096);
  std::vector<std::uint8_t> data(4096, 0x3c), got(4096);

  {  // the cache limit
    int fd = Open();
    ASSERT_EQ(0, user::ioctl(fd, CGD_NO_START_AUTOMAP, 0));
    ASSERT_EQ(CGD_OK, Start(fd, dev, n, 1));
    ASSERT_EQ(CGD_OK, Snap(fd));
    EXPECT_EQ(0, blk::fs_write(dev, 10 * 4096, data.data(), 4096));
    EXPECT_EQ(unsigned(CGD_STATE_SNAPPED), StateOf(fd));
    EXPECT_EQ(0, blk::fs_write(dev, 11 * 4096, data.data(), 4096));
    EXPECT_EQ(unsigned(CGD_STATE_CACHE_ERROR), StateOf(fd));
    ASSERT_TRUE(blk::read_device(dev, 11 * 4096, got.data(), 4096));
    EXPECT_EQ(data, got);
    // Refused from now on.
    EXPECT_EQ(CGD_ERR_INVALID, LoadMap(fd, Bitmap::all(n)));
    EXPECT_EQ(unsigned(CGD_STATE_CACHE_ERROR), StateOf(fd));
    Remark();
    EXPECT_EQ(0, Close(fd));
    EXPECT_TRUE(Logged("<6>printStats: state: 10"));
    EXPECT_TRUE(QueueIsReal(disk));
    EXPECT_TRUE(ModuleIsFree(dev, n));
  }
  {  // an old block that cannot be read
    int fd = Open();
    ASSERT_EQ(0, user::ioctl(fd, CGD_NO_START_AUTOMAP, 0));
    ASSERT_EQ(CGD_OK, Start(fd, dev, n, n));
    ASSERT_EQ(CGD_OK, Snap(fd));
    disk->add_fault({.first_sector = kPart2Start + 20 * 8, .sectors = 8, .reads = true, .writes = false});
    EXPECT_EQ(0, blk::fs_write(dev, 20 * 4096, data.data(), 4096));
    disk->clear_faults();
    EXPECT_EQ(unsigned(CGD_STATE_READ_ERROR), StateOf(fd));
    ASSERT_TRUE(blk::read_device(dev, 20 * 4096, got.data(), 4096));
    EXPECT_EQ(data, got);
    EXPECT_EQ(0, blk::fs_write(dev, 21 * 4096, data.data(), 4096));  // passes
    EXPECT_EQ(0, Close(fd));
    EXPECT_TRUE(QueueIsReal(disk));
    EXPECT_TRUE(ModuleIsFree(dev, n));
  }
  {  // no memory to hold a write: the write passes, tracking goes out of sync
    int fd = Open();
    ASSERT_EQ(CGD_OK, Start(fd, dev, n, n));
    ASSERT_EQ(CGD_OK, Snap(fd));
    ASSERT_EQ(unsigned(CGD_AUTOMAP_IN_SYNC), QueryAMState(fd).state);
    fault::set(fault::Site::kmalloc, {.nth = 1});
    EXPECT_EQ(0, blk::fs_write(dev, 30 * 4096, data.data(), 4096));
    EXPECT_EQ(1, fault::failures(fault::Site::kmalloc));
    fault::clear_all();
    EXPECT_EQ(unsigned(CGD_STATE_HOOK_ERROR), StateOf(fd));
    EXPECT_EQ(unsigned(CGD_AUTOMAP_NOT_IN_SYNC), QueryAMState(fd).state);
    ASSERT_TRUE(blk::read_device(dev, 30 * 4096, got.data(), 4096));
    EXPECT_EQ(data, got);
    EXPECT_EQ(0, blk::fs_write(dev, 31 * 4096, data.data(), 4096));
    Remark();
    EXPECT_EQ(0, Close(fd));
    EXPECT_TRUE(Logged("<6>printStats: state: 13"));
    EXPECT_TRUE(QueueIsReal(disk));
    EXPECT_TRUE(ModuleIsFree(dev, n));
  }
}

// A close that meets held writes on a slow disk waits for them: every
// write lands, the worker ends, the queue is the disk's again.
TEST_F(SessionTest, CloseWhileWritesAreHeldLosesNone) {
  blk::Disk* disk = nullptr;
  blk::devnum dev = MountedPart2(4096, &disk);
  const std::uint32_t n = Blocks(dev, 4096);
  int fd = Open();
  ASSERT_EQ(0, user::ioctl(fd, CGD_NO_START_AUTOMAP, 0));
  ASSERT_EQ(CGD_OK, Start(fd, dev, n, n));
  ASSERT_EQ(CGD_OK, Snap(fd));
  disk->set_delay_us(300);
  std::atomic<int> errors{0}, done{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; t++) {
    writers.emplace_back([&, t] {
      std::vector<std::uint8_t> data(4096);
      for (std::uint32_t i = 0; i < 40; i++) {
        const std::uint32_t b = 16 + std::uint32_t(t) * 100 + i;
        std::memset(data.data(), int(b & 0xff), data.size());
        if (blk::fs_write(dev, std::uint64_t(b) * 4096, data.data(), data.size()) != 0) errors++;
        done++;
      }
    });
  }
  while (done.load() < 10) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(0, Close(fd));
  EXPECT_TRUE(QueueIsReal(disk));
  for (auto& w : writers) w.join();
  disk->set_delay_us(0);
  EXPECT_EQ(0, errors.load());
  std::vector<std::uint8_t> got(4096);
  for (int t = 0; t < 3; t++)
    for (std::uint32_t i = 0; i < 40; i++) {
      const std::uint32_t b = 16 + std::uint32_t(t) * 100 + i;
      ASSERT_TRUE(blk::read_device(dev, std::uint64_t(b) * 4096, got.data(), got.size()));
      EXPECT_EQ(std::vector<std::uint8_t>(4096, std::uint8_t(b & 0xff)), got) << b;
    }
  EXPECT_TRUE(standin::task::wait_kernel_threads(5000));
  EXPECT_TRUE(ModuleIsFree(dev, n));
}

TEST_F(SessionTest, StateRecordIsCutToItsLength) {
  UserPages pages;
  ASSERT_TRUE(pages.ok());
  blk::devnum dev = MountedPart2(1024);
  int fd = Open();
  // Never started: every field 0.
  State s = QueryState(fd);
  EXPECT_EQ(0, std::memcmp(&s, std::string(sizeof s, '\0').data(), sizeof s));

  ASSERT_EQ(CGD_OK, Start(fd, dev, 1000, 1000));
  s = QueryState(fd);
  EXPECT_EQ(262144, s.mmapSize);
  EXPECT_EQ(1024, s.blockSize);

  for (unsigned len : {0u, 12u, 20u, 200u}) {
    SCOPED_TRACE(len);
    std::uint8_t buf[64];
    std::memset(buf, 0xee, sizeof buf);
    struct GetState gs = {reinterpret_cast<State*>(buf), len};
    EXPECT_EQ(CGD_OK, user::ioctl(fd, CGD_GET_STATE, Arg(&gs)));
    const std::size_t written = std::min<std::size_t>(len, sizeof(State));
    EXPECT_EQ(0, std::memcmp(buf, &s, written));
    for (std::size_t i = written; i < sizeof buf; i++) ASSERT_EQ(0xee, buf[i]) << i;
  }

  Remark();
  struct GetState bad = {reinterpret_cast<State*>(pages.readOnly()), sizeof(State)};
  EXPECT_EQ(CGD_ERR_COPY_OUT, user::ioctl(fd, CGD_GET_STATE, Arg(&bad)));
  EXPECT_EQ((Lines{"<3>ioctlGetState: copy to user space failed"}), NewLog());
}

TEST_F(SessionTest, StatisticsRecordFollowsTheSession) {
  UserPages pages;
  ASSERT_TRUE(pages.ok());
  blk::devnum dev = MountedPart2(1024);
  const std::uint32_t n = Blocks(dev, 1024);
  int fd = Open();
  Stats st = StatsOf(fd);  // never started: everything but the command count is 0
  EXPECT_EQ(1, st.ioctlCount);
  st.ioctlCount = 0;
  EXPECT_EQ(0, std::memcmp(&st, std::string(sizeof st, '\0').data(), sizeof st));

  ASSERT_EQ(0, user::ioctl(fd, CGD_NO_START_AUTOMAP, 0));
  ASSERT_EQ(CGD_OK, Start(fd, dev, n, 500));
  std::uint8_t* w0 = MapWindow(fd, 5);
  std::uint8_t* w1 = MapWindow(fd, 2);
  ASSERT_NE(nullptr, w0);
  ASSERT_NE(nullptr, w1);
  st = StatsOf(fd);
  EXPECT_EQ(0u, st.driverVerMajor);
  EXPECT_EQ(0u, st.driverVerMinor);
  EXPECT_EQ(0u, st.driverVerMinor2);
  EXPECT_EQ(8u, st.major);
  EXPECT_EQ(2u, st.minor);
  EXPECT_EQ(unsigned(CGD_STATE_STARTED), st.state);
  EXPECT_EQ(unsigned(kPart2Start), st.partitionStart);
  EXPECT_EQ(1024, st.blockSize);
  EXPECT_EQ(4, st.blocksPerPage);
  EXPECT_EQ(unsigned(kPart2Sectors / 2), st.partitionSizeKB);
  EXPECT_EQ(n, st.numBlocks);
  EXPECT_EQ(64, st.maxVMPages);
  EXPECT_EQ(7, st.vmPages);
  EXPECT_EQ(500u, st.maxCacheBlocks);
  EXPECT_EQ(0, st.curAllocAMPages);
  EXPECT_EQ(1 + 7, st.totalAllocPages);
  EXPECT_EQ(1 + 7, st.curAllocPages);
  EXPECT_EQ(4, st.ioctlCount);  // get-stats, no-start, start, get-stats
  EXPECT_EQ(0, st.eTimeToFreeze.tv_sec + st.eTimeToFreeze.tv_nsec + st.eTimeFrozen.tv_sec + st.eTimeFrozen.tv_nsec);

  // Snapshot, a write preserved, the map loaded, reads from disk and store.
  ASSERT_EQ(CGD_OK, Snap(fd));
  std::vector<std::uint8_t> data(1024, 0x77);
  ASSERT_EQ(0, blk::fs_write(dev, 2 * 1024, data.data(), 1024));   // wanted
  ASSERT_EQ(0, blk::fs_write(dev, 900 * 1024, data.data(), 1024));  // not wanted
  Bitmap want(n);
  for (std::uint32_t b = 0; b < 8; b++) want.set(b);
  ASSERT_EQ(CGD_OK, LoadMap(fd, want));
  st = StatsOf(fd);
  EXPECT_EQ(unsigned(CGD_STATE_READING), st.state);
  EXPECT_EQ(2, st.totalAllocCPs);
  EXPECT_EQ(2, st.totalCBs);
  EXPECT_EQ(1, st.curAllocCPs);
  EXPECT_EQ(1, st.curCBs);
  EXPECT_EQ(2, st.peakAllocCPs);
  EXPECT_EQ(1, st.totalCleanedCBs);
  EXPECT_GE(st.eTimeFrozen.tv_sec * 1000000000LL + st.eTimeFrozen.tv_nsec,
            st.eTimeToFreeze.tv_sec * 1000000000LL + st.eTimeToFreeze.tv_nsec);
  EXPECT_LT(st.eTimeToFreeze.tv_nsec, 1000000000LL);
  EXPECT_LT(st.eTimeFrozen.tv_nsec, 1000000000LL);
  ASSERT_EQ(CGD_OK, Read(fd, 0, 8, w0));
  st = StatsOf(fd);
  EXPECT_EQ(7, st.totalReadBlocks);
  EXPECT_EQ(1, st.totalReadCBs);
  EXPECT_EQ(7 + 2, st.totalAllocBRs);  // the reads for the agent and kbackupd's two
  EXPECT_EQ(0, st.curAllocBRs);
  EXPECT_EQ(0, st.curAllocCPs);

  // The record is cut to its length; an unwritable one is refused.
  std::uint8_t buf[200];
  std::memset(buf, 0xee, sizeof buf);
  EXPECT_EQ(CGD_OK, QueryStats(fd, reinterpret_cast<Stats*>(buf), 16));
  EXPECT_EQ(0, std::memcmp(buf, std::string(12, '\0').data(), 12));
  EXPECT_EQ(8u, reinterpret_cast<unsigned*>(buf)[3]);
  for (std::size_t i = 16; i < sizeof buf; i++) ASSERT_EQ(0xee, buf[i]) << i;
  std::memset(buf, 0xee, sizeof buf);
  EXPECT_EQ(CGD_OK, QueryStats(fd, reinterpret_cast<Stats*>(buf), sizeof buf));
  for (std::size_t i = sizeof(Stats); i < sizeof buf; i++) ASSERT_EQ(0xee, buf[i]) << i;
  Remark();
  EXPECT_EQ(CGD_ERR_COPY_OUT, QueryStats(fd, reinterpret_cast<Stats*>(pages.readOnly())));
  EXPECT_EQ((Lines{"<3>ioctlGetStats: copy to user space failed"}), NewLog());

  EXPECT_EQ(0, user::munmap(w0, 5 * 4096));
  EXPECT_EQ(0, user::munmap(w1, 2 * 4096));
  // The report at close shows the same times as the record, 9 digits.
  st = StatsOf(fd);
  Remark();
  EXPECT_EQ(0, Close(fd));
  Lines report = Report();
  ASSERT_EQ(27u, report.size());
  const std::regex time(R"(<6>printStats: time (to freeze|frozen) in seconds: \d+\.\d{9})");
  EXPECT_TRUE(std::regex_match(report[24], time)) << report[24];
  EXPECT_TRUE(std::regex_match(report[25], time)) << report[25];
  EXPECT_EQ(ReportLines(st)[24], report[24]);
  EXPECT_EQ(ReportLines(st)[25], report[25]);
}

}  // namespace
