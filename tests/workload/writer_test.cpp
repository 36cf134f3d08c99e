// The live writer on a mounted ext4 partition: its operations keep the file
// system consistent and match its model, a reopened file system holds what
// the writer recorded, and the same seed gives the same operations.
#include "workload_fixture.h"

namespace {

using namespace wltest;

wl::WorkloadOptions Small(std::uint64_t seed = 7) {
  wl::WorkloadOptions o;
  o.seed = seed;
  o.threads = 1;
  o.max_files = 24;
  o.max_file_size = 96 * 1024;
  return o;
}

class WriterTest : public WorkloadTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(WriterTest, OperationsLeaveACleanFileSystemThatHoldsTheModel) {
  wl::MountedImage m = Mounted(GetParam(), 24 << 20);
  auto w = Open(m.part, Small());
  ASSERT_NE(nullptr, w);
  ASSERT_TRUE(w->run(150)) << w->error();
  EXPECT_EQ(150u, w->operations());
  wl::FrozenInstant now = w->snapshot_now(true);
  EXPECT_FALSE(now.files.empty());
  EXPECT_GT(now.dirs.size(), 1u) << "directories besides lost+found";
  EXPECT_EQ(150u, now.ops_done);
  ASSERT_EQ(sb::device_sectors(m.part) * 512, now.device.size());
  ExpectImageHolds(Save("now.img", now.device), now);

  // Every operation flushed: closing writes nothing more.  Opened again,
  // the file system gives the same files and directories.
  long writes = m.disk->counters().writes;
  w.reset();
  EXPECT_EQ(writes, m.disk->counters().writes);
  auto again = Open(m.part, Small());
  ASSERT_NE(nullptr, again);
  wl::FrozenInstant reread = again->snapshot_now();
  EXPECT_EQ(now.files, reread.files);
  EXPECT_EQ(now.dirs, reread.dirs);
  ASSERT_TRUE(again->run(40)) << again->error();
  wl::FrozenInstant later = again->snapshot_now(true);
  ExpectImageHolds(Save("later.img", later.device), later);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, WriterTest, ::testing::Values(1024u, 4096u));

TEST_F(WorkloadTest, TheSameSeedGivesTheSameFiles) {
  wl::MountedImage a = Mounted(4096, 16 << 20, "a.img");
  wl::MountedImage b = Mounted(4096, 16 << 20, "b.img");
  wl::MountedImage c = Mounted(4096, 16 << 20, "c.img");
  auto wa = Open(a.part, Small(11));
  auto wb = Open(b.part, Small(11));
  auto wc = Open(c.part, Small(12));
  ASSERT_TRUE(wa && wb && wc);
  ASSERT_TRUE(wa->run(60) && wb->run(60) && wc->run(60));
  wl::FrozenInstant fa = wa->snapshot_now(), fb = wb->snapshot_now(), fc = wc->snapshot_now();
  EXPECT_EQ(fa.files, fb.files);
  EXPECT_EQ(fa.dirs, fb.dirs);
  EXPECT_NE(fa.files, fc.files);
}

TEST_F(WorkloadTest, TheFileSystemStaysWithinItsSpace) {
  // A small partition and large files: the writer deletes instead of
  // running out of blocks.
  wl::MountedImage m = Mounted(1024, 8 << 20);
  wl::WorkloadOptions o = Small(3);
  o.max_files = 64;
  o.max_file_size = 512 * 1024;
  auto w = Open(m.part, o);
  ASSERT_NE(nullptr, w);
  ASSERT_TRUE(w->run(200)) << w->error();
  wl::FrozenInstant now = w->snapshot_now(true);
  ExpectImageHolds(Save("full.img", now.device), now);
}

TEST_F(WorkloadTest, AFailedWriteStopsTheWriterWithItsReason) {
  wl::MountedImage m = Mounted(4096, 16 << 20);
  auto w = Open(m.part, Small());
  ASSERT_NE(nullptr, w);
  ASSERT_TRUE(w->run(5));
  m.disk->add_fault({0, m.disk->sectors(), false, true});
  EXPECT_FALSE(w->run(5));
  EXPECT_FALSE(w->error().empty());
  EXPECT_EQ(5u, w->operations());
  w->start();
  EXPECT_FALSE(w->wait_for_operations(6, std::chrono::milliseconds(200)));
  w->stop();
  EXPECT_EQ(5u, w->operations());
  m.disk->clear_faults();
}

TEST_F(WorkloadTest, OpeningADeviceWithoutExt4Fails) {
  wl::MountedImage m = Mounted(4096, 16 << 20);
  std::string err;
  EXPECT_EQ(nullptr, wl::Ext4Workload::open(m.spare, {}, &err));
  EXPECT_NE(std::string::npos, err.find("cannot open")) << err;
  EXPECT_EQ(nullptr, wl::Ext4Workload::open(sb::mkdev(8, 200), {}, &err));
}

}  // namespace
