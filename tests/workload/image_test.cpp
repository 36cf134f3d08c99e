// Disk images: the MBR layout, ext4 made on partition 1 and mounted by the
// stand-in with the chosen block size, bare file-system images, and the
// image checks (e2fsck, check_image) on images made by hand.
#include <ext2fs/ext2fs.h>

#include <fcntl.h>
#include <unistd.h>

#include "workload_fixture.h"

namespace {

using namespace wltest;

class DiskImageTest : public WorkloadTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(DiskImageTest, TwoAlignedPartitionsWithExt4OfTheBlockSizeOnTheFirst) {
  const std::uint32_t bs = GetParam();
  wl::MountedImage m = Mounted(bs, 48 << 20);
  ASSERT_NE(nullptr, m.disk);

  const std::uint64_t sectors = (48 << 20) / 512;
  EXPECT_EQ(sectors, layout_.disk_sectors);
  EXPECT_EQ(bs, layout_.block_size);
  for (const auto& p : layout_.parts) EXPECT_EQ(0u, p.start_sector % 2048) << "1 MiB aligned";
  EXPECT_EQ(2048u, layout_.parts[0].start_sector);
  EXPECT_EQ(layout_.parts[0].start_sector + layout_.parts[0].sectors, layout_.parts[1].start_sector);
  EXPECT_EQ(sectors, layout_.parts[1].start_sector + layout_.parts[1].sectors) << "the rest";
  EXPECT_NEAR(0.7, double(layout_.parts[1].start_sector) / double(sectors), 0.05);
  EXPECT_EQ(layout_.parts[0].bytes() / bs, layout_.fs_blocks);

  // The stand-in reads the same table and mounts ext4 with that block size.
  auto parts = m.disk->partitions();
  ASSERT_EQ(2u, parts.size());
  EXPECT_EQ((sb::Disk::Partition{1, layout_.parts[0].start_sector, layout_.parts[0].sectors}),
            parts[0]);
  EXPECT_EQ((sb::Disk::Partition{2, layout_.parts[1].start_sector, layout_.parts[1].sectors}),
            parts[1]);
  EXPECT_EQ(m.disk->part_dev(1), m.part);
  EXPECT_EQ(m.disk->part_dev(2), m.spare);
  sb::FsInfo info;
  ASSERT_TRUE(sb::fs_info(m.part, &info));
  EXPECT_EQ("ext4", info.type);
  EXPECT_EQ(bs, info.block_size);
  EXPECT_FALSE(sb::mounted(m.spare));

  // The partition holds a clean, empty file system of fs_blocks blocks.
  std::string copy = Save("part1.img", sb::device_bytes(m.part));
  std::string out;
  EXPECT_TRUE(wl::run_e2fsck(copy, &out)) << out;
  wl::FrozenInstant empty;
  empty.dirs = {"/lost+found"};
  ExpectImageHolds(copy, empty);
  ext2_filsys fs;
  ASSERT_EQ(0, ext2fs_open2(copy.c_str(), nullptr, EXT2_FLAG_64BITS, 0, 0, unix_io_manager, &fs));
  EXPECT_EQ(layout_.fs_blocks, ext2fs_blocks_count(fs->super));
  EXPECT_EQ(bs, fs->blocksize);
  ext2fs_close_free(&fs);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, DiskImageTest, ::testing::Values(1024u, 4096u));

TEST_F(WorkloadTest, ImageMakerRefusesBadArguments) {
  std::string err;
  wl::DiskLayout l;
  EXPECT_FALSE(wl::make_disk_image(Path("a.img"), 32 << 20, 3000, &l, &err));
  EXPECT_NE(std::string::npos, err.find("block size")) << err;
  EXPECT_FALSE(wl::make_disk_image(Path("b.img"), 1 << 20, 4096, &l, &err));
  EXPECT_FALSE(wl::make_disk_image(dir_ + "/no/such/dir/c.img", 32 << 20, 4096, &l, &err));
  EXPECT_NE(std::string::npos, err.find("cannot create")) << err;
  wl::MountedImage m;
  EXPECT_FALSE(wl::attach_and_mount(Path("missing.img"), &m, &err));
  EXPECT_EQ(nullptr, m.disk);
}

TEST_F(WorkloadTest, AnImageWithoutAFileSystemIsNotMountedAndNotLeftAttached) {
  ASSERT_TRUE(wl::write_file(Path("blank.img"), std::vector<std::uint8_t>(8 << 20)));
  wl::MountedImage m;
  std::string err;
  EXPECT_FALSE(wl::attach_and_mount(Path("blank.img"), &m, &err));
  EXPECT_NE(std::string::npos, err.find("partition 1")) << err;
  EXPECT_EQ(nullptr, m.disk);
}

TEST_F(WorkloadTest, BareExt4ImageOpensAndChecksClean) {
  std::string err;
  ASSERT_TRUE(wl::make_ext4_image(Path("bare.img"), 4096, 1024, &err)) << err;
  wl::FrozenInstant empty;
  empty.dirs = {"/lost+found"};
  ExpectImageHolds(Path("bare.img"), empty);

  // A record that names a file the image lacks, or lacks its directory.
  wl::FrozenInstant other;
  other.files = {{"/f1", 3, wl::checksum("abc", 3)}};
  wl::CheckReport rep;
  EXPECT_FALSE(wl::check_image(Path("bare.img"), other, &rep));
  EXPECT_EQ((std::vector<std::string>{"missing file /f1", "unexpected directory /lost+found"}),
            rep.problems);
}

TEST_F(WorkloadTest, ChecksOfAnUnreadableImageFail) {
  ASSERT_TRUE(wl::write_file(Path("junk.img"), std::vector<std::uint8_t>(1 << 20, 0x5a)));
  wl::CheckReport rep;
  EXPECT_FALSE(wl::check_image(Path("junk.img"), {}, &rep));
  ASSERT_EQ(1u, rep.problems.size());
  EXPECT_NE(std::string::npos, rep.problems[0].find("cannot open")) << rep.problems[0];
  std::string out;
  EXPECT_FALSE(wl::run_e2fsck(Path("junk.img"), &out));
  EXPECT_FALSE(wl::run_e2fsck(Path("none.img"), &out));
}

TEST_F(WorkloadTest, E2fsckFindsADamagedBlockBitmap) {
  std::string err;
  ASSERT_TRUE(wl::make_ext4_image(Path("bm.img"), 8192, 4096, &err)) << err;
  ext2_filsys fs;
  ASSERT_EQ(0, ext2fs_open2(Path("bm.img").c_str(), nullptr, EXT2_FLAG_64BITS, 0, 0,
                            unix_io_manager, &fs));
  blk64_t bitmap = ext2fs_block_bitmap_loc(fs, 0);
  ext2fs_close_free(&fs);
  std::vector<std::uint8_t> zeros(4096);
  int fd = ::open(Path("bm.img").c_str(), O_WRONLY);
  ASSERT_LE(0, fd);
  ASSERT_EQ(4096, ::pwrite(fd, zeros.data(), zeros.size(), static_cast<off_t>(bitmap * 4096)));
  ::close(fd);
  std::string out;
  EXPECT_FALSE(wl::run_e2fsck(Path("bm.img"), &out));
  EXPECT_NE(std::string::npos, out.find("itmap")) << out;
}

}  // namespace
