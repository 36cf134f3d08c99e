// The tracking commands and the wanted-block map through the control
// device: the changed-block map fetched before and after the snapshot, twice,
// with a wrong size and into memory it cannot write; the automap state
// record; the two flag commands; the wanted-block map load and what it
// releases; the dirty-block query.
#include <errno.h>

#include <cstdio>

#include "device/backup_fixture.h"
#include "device/user_pages.h"

namespace {

using namespace cgtest;

const char kNotLoaded[] = "<3>ioctlGetAutoMap: backup error map not loaded ";
const char kNoMap[] = "<3>ioctlGetAutoMap: backup error automap is NULL ";

class AutoMapCommandTest : public BackupTest {
 protected:
  void Mount(std::uint32_t bs) {
    bs_ = bs;
    dev_ = MountedPart2(bs, &disk_);
    n_ = Blocks(dev_, bs);
  }
  void WriteBlock(std::uint32_t b, std::uint8_t fill = 0x6d) {
    std::vector<std::uint8_t> data(bs_, fill);
    ASSERT_EQ(0, blk::fs_write(dev_, std::uint64_t(b) * bs_, data.data(), bs_)) << b;
  }
  // A first backup of `blocks` blocks (closed), then `written` blocks written,
  // then a second backup snapped with the first one's key: it holds the
  // changed-block map.  Returns its file.
  int SecondBackup(std::uint32_t blocks, std::initializer_list<std::uint32_t> written) {
    int fd = Open();
    EXPECT_EQ(CGD_OK, Start(fd, dev_, blocks, n_));
    EXPECT_EQ(CGD_OK, Snap(fd));
    AMSessionKey key = KeyOf(fd);
    EXPECT_EQ(0, Close(fd));
    for (std::uint32_t b : written) WriteBlock(b);
    fd = Open();
    EXPECT_EQ(CGD_OK, Start(fd, dev_, blocks, n_));
    EXPECT_EQ(CGD_OK, Snap(fd, &key));
    return fd;
  }
  static int FetchInto(int fd, void* map, std::uint32_t mapLen) {
    UserBlockMap ubm = {static_cast<std::uint8_t*>(map), mapLen};
    struct GetAutoMap g = {&ubm, 0};
    return user::ioctl(fd, CGD_GET_AUTOMAP, Arg(&g));
  }

  blk::Disk* disk_ = nullptr;
  blk::devnum dev_ = 0;
  std::uint32_t bs_ = 0, n_ = 0;
};

TEST_F(AutoMapCommandTest, ChangedMapOnlyBetweenSnapshotAndLoad) {
  Mount(4096);
  int fd = Open();
  Bitmap map(n_);
  Remark();
  EXPECT_EQ(CGD_ERR_INVALID, FetchAutoMap(fd, &map));  // never started
  ASSERT_EQ(CGD_OK, Start(fd, dev_, n_, n_));
  EXPECT_EQ(CGD_ERR_INVALID, FetchAutoMap(fd, &map));  // started
  EXPECT_EQ((Lines{kNotLoaded, kNotLoaded}), LinesStarting("<3>ioctlGetAutoMap"));
  EXPECT_EQ(0, Close(fd));

  fd = SecondBackup(n_, {12});
  ASSERT_EQ(CGD_OK, FetchAutoMap(fd, &map));
  EXPECT_EQ((std::vector<std::uint32_t>{12}), map.blocks());
  Remark();
  EXPECT_EQ(CGD_ERR_INVALID, FetchAutoMap(fd, &map));  // fetched already
  ASSERT_EQ(CGD_OK, LoadMap(fd, Bitmap::all(n_)));
  EXPECT_EQ(CGD_ERR_INVALID, FetchAutoMap(fd, &map));  // state 6
  EXPECT_EQ((Lines{kNoMap, kNotLoaded}), NewLog());
}

TEST_F(AutoMapCommandTest, WrongSizeOrUnwritableMemoryKeepsTheMap) {
  UserPages pages;
  ASSERT_TRUE(pages.ok());
  Mount(4096);
  int fd = SecondBackup(n_, {0, 77, n_ - 1});
  Bitmap map(n_ - 1);
  Remark();
  EXPECT_EQ(CGD_ERR_INVALID, FetchAutoMap(fd, &map));
  EXPECT_EQ((Lines{"<3>ioctlGetAutoMap: backup error map size mismatch kernel map size=" + std::to_string(n_) +
                   " user map size=" + std::to_string(n_ - 1)}),
            NewLog());
  Remark();
  EXPECT_EQ(CGD_ERR_COPY_OUT, FetchInto(fd, pages.readOnly(), n_));
  Lines log = NewLog();
  ASSERT_EQ(1u, log.size());
  const std::string tail = " bytesCopied=" + std::to_string(n_ / 8) + " bytesInMap=" + std::to_string(n_ / 8);
  EXPECT_EQ(0u, log[0].rfind("<3>ioctlGetAutoMap: copy to user space failed data=", 0)) << log[0];
  EXPECT_TRUE(log[0].size() > tail.size() && log[0].compare(log[0].size() - tail.size(), tail.size(), tail) == 0)
      << log[0];
  EXPECT_EQ(unsigned(CGD_STATE_SNAPPED), StateOf(fd));
  Bitmap right(n_);
  ASSERT_EQ(CGD_OK, FetchAutoMap(fd, &right));
  EXPECT_EQ((std::vector<std::uint32_t>{0, 77, n_ - 1}), right.blocks());
}

// A map of 32,769 blocks goes out as one full page and one byte.
TEST_F(AutoMapCommandTest, MapsLongerThanAPageAreCopiedPageByPage) {
  UserPages pages;
  ASSERT_TRUE(pages.ok());
  Mount(1024);
  const std::uint32_t blocks = 32769;
  int fd = SecondBackup(blocks, {1, 4000});
  // The second page is read-only: the first page is copied, the byte on the
  // second is refused.
  Remark();
  EXPECT_EQ(CGD_ERR_COPY_OUT, FetchInto(fd, pages.rw(), blocks));
  Lines log = NewLog();
  ASSERT_EQ(1u, log.size());
  char want[160];
  std::snprintf(want, sizeof want, "data=%p bytesCopied=1 bytesInMap=4097", static_cast<void*>(pages.readOnly()));
  EXPECT_NE(std::string::npos, log[0].find(want)) << log[0];
  EXPECT_EQ(0x02, std::uint8_t(pages.rw()[0]));
  EXPECT_EQ(0x01, std::uint8_t(pages.rw()[500]));

  std::vector<std::uint8_t> buf(4096 + 64, 0xee);
  ASSERT_EQ(CGD_OK, FetchInto(fd, buf.data(), blocks));
  for (std::size_t i = 0; i < 4096; i++)
    ASSERT_EQ(i == 0 ? 0x02 : i == 500 ? 0x01 : 0, buf[i]) << i;
  EXPECT_EQ(0, buf[4096]);
  for (std::size_t i = 4097; i < buf.size(); i++) ASSERT_EQ(0xee, buf[i]) << i;
}

TEST_F(AutoMapCommandTest, AutoMapStateRecordIsCutToItsLength) {
  UserPages pages;
  ASSERT_TRUE(pages.ok());
  Mount(4096);
  int fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, dev_, n_, n_));
  ASSERT_EQ(CGD_OK, Snap(fd));
  const AutoMapState a = QueryAMState(fd);
  for (unsigned len : {0u, 20u, 76u, 200u}) {
    SCOPED_TRACE(len);
    std::uint8_t buf[220];
    std::memset(buf, 0xee, sizeof buf);
    struct GetAutoMapState g = {reinterpret_cast<AutoMapState*>(buf), len};
    EXPECT_EQ(CGD_OK, user::ioctl(fd, CGD_GET_AUTOMAP_STATE, Arg(&g)));
    const std::size_t written = std::min<std::size_t>(len, sizeof(AutoMapState));
    EXPECT_EQ(0, std::memcmp(buf, &a, written));
    for (std::size_t i = written; i < sizeof buf; i++) ASSERT_EQ(0xee, buf[i]) << i;
  }
  Remark();
  struct GetAutoMapState bad = {reinterpret_cast<AutoMapState*>(pages.readOnly()), 76};
  EXPECT_EQ(CGD_ERR_COPY_OUT, user::ioctl(fd, CGD_GET_AUTOMAP_STATE, Arg(&bad)));
  EXPECT_EQ((Lines{"<3>ioctlGetAutoMapState: copy to user space failed"}), NewLog());
}

TEST_F(AutoMapCommandTest, FlagCommandsSucceedInEveryStateAndActOnlyAtTheSnapshot) {
  Mount(4096);
  int fd = Open();
  int refused = Open();
  auto flags = [](int f) {
    for (int i = 0; i < 2; i++) {
      EXPECT_EQ(CGD_OK, user::ioctl(f, CGD_NO_LOAD_FROM_AUTOMAP, 0));
      EXPECT_EQ(CGD_OK, user::ioctl(f, CGD_NO_START_AUTOMAP, 0));
    }
  };
  ASSERT_EQ(CGD_OK, Start(fd, dev_, n_, n_));
  ASSERT_EQ(CGD_ERR_BACKUP_OPEN, Start(refused, dev_, n_, n_));
  flags(refused);
  ASSERT_EQ(CGD_OK, Snap(fd));
  flags(fd);  // after the snapshot: the session it made stays
  EXPECT_EQ(unsigned(CGD_AUTOMAP_IN_SYNC), QueryAMState(fd).state);
  ASSERT_EQ(CGD_OK, LoadMap(fd, Bitmap::all(n_)));
  flags(fd);
  EXPECT_EQ(unsigned(CGD_STATE_READING), StateOf(fd));
  EXPECT_EQ(unsigned(CGD_AUTOMAP_IN_SYNC), QueryAMState(fd).state);
  EXPECT_EQ(0, Close(fd));
  EXPECT_FALSE(QueueIsReal(disk_));  // still tracked
}

// The changed-block map that the agent did not fetch is released by the
// load of the wanted-block map.
TEST_F(AutoMapCommandTest, LoadReleasesAnUnfetchedChangedMap) {
  Mount(4096);
  int fd = SecondBackup(n_, {3});
  const Stats before = StatsOf(fd);
  EXPECT_EQ(2, before.curAllocPages);  // preserved-block map, changed-block map
  Bitmap want(n_);
  want.set(3);
  ASSERT_EQ(CGD_OK, LoadMap(fd, want));
  const Stats after = StatsOf(fd);
  EXPECT_EQ(2, after.curAllocPages);  // preserved-block map, wanted map
  EXPECT_EQ(before.totalAllocPages + 1, after.totalAllocPages);
  std::uint8_t* w = MapWindow(fd, 1);
  ASSERT_NE(nullptr, w);
  ASSERT_EQ(CGD_OK, Read(fd, 3, 1, w));
  EXPECT_EQ(0x6d, w[0]);
  EXPECT_EQ(0, user::munmap(w, 4096));
}

TEST_F(AutoMapCommandTest, WantedMapShorterThanTheDeviceAndUnreadableMaps) {
  UserPages pages;
  ASSERT_TRUE(pages.ok());
  Mount(4096);
  int fd = Open();
  ASSERT_EQ(CGD_OK, user::ioctl(fd, CGD_NO_START_AUTOMAP, 0));
  ASSERT_EQ(CGD_OK, Start(fd, dev_, n_, n_));
  ASSERT_EQ(CGD_OK, Snap(fd));
  ASSERT_EQ(CGD_OK, LoadMap(fd, Bitmap::all(10)));
  WriteBlock(20);  // not wanted: passes unheld
  EXPECT_EQ(0, StatsOf(fd).totalAllocCPs);
  std::uint8_t* w = MapWindow(fd, 1);
  ASSERT_NE(nullptr, w);
  Remark();
  EXPECT_EQ(CGD_ERR_INVALID, Read(fd, 20, 1, w));
  EXPECT_EQ((Lines{"<3>ioctlReadBlocks: end block number out of block map range"}), NewLog());
  EXPECT_EQ(0, user::munmap(w, 4096));
  EXPECT_EQ(0, Close(fd));

  fd = Open();
  ASSERT_EQ(CGD_OK, user::ioctl(fd, CGD_NO_START_AUTOMAP, 0));
  ASSERT_EQ(CGD_OK, Start(fd, dev_, n_, n_));
  ASSERT_EQ(CGD_OK, Snap(fd));
  UserBlockMap ubm = {reinterpret_cast<std::uint8_t*>(pages.none()), n_};
  struct LoadBlockMap l = {&ubm, 0};
  Remark();
  EXPECT_EQ(CGD_ERR_COPY_IN, user::ioctl(fd, CGD_LOAD_BLOCK_MAP, Arg(&l)));
  EXPECT_EQ(unsigned(CGD_STATE_MAP_ERROR), StateOf(fd));
  Lines log = NewLog();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ("<3>newBUBlockMap: error creating map of size=" + std::to_string(n_), log[log.size() - 2]);
  EXPECT_EQ("<3>ioctlLoadBlockMap: backup error failed to load device map", log.back());
  EXPECT_EQ(1, StatsOf(fd).curAllocPages);  // nothing of the map stays
}

// The dirty-block query names the newest held block of the lowest bucket
// (low 12 bits of the block number) until it is read.
TEST_F(AutoMapCommandTest, DirtyBlockQueryOrder) {
  UserPages pages;
  ASSERT_TRUE(pages.ok());
  Mount(512);
  ASSERT_GT(n_, 4097u);
  int fd = Open();
  ASSERT_EQ(CGD_OK, Start(fd, dev_, n_, n_));
  std::uint32_t bn = 0x1234;
  Remark();
  EXPECT_EQ(CGD_ERR_INVALID, Dirty(fd, &bn));  // state 2
  ASSERT_EQ(CGD_OK, Snap(fd));
  WriteBlock(9);
  EXPECT_EQ(CGD_ERR_INVALID, Dirty(fd, &bn));  // state 4
  EXPECT_EQ(0x1234u, bn);
  Bitmap want = Bitmap::all(n_);
  ASSERT_EQ(CGD_OK, LoadMap(fd, want));
  EXPECT_EQ(CGD_OK, Dirty(fd, &bn));  // preserved in state 4 and wanted: still held
  EXPECT_EQ(9u, bn);
  std::uint8_t* w = MapWindow(fd, 1);
  ASSERT_NE(nullptr, w);
  ASSERT_EQ(CGD_OK, Read(fd, 9, 1, w));
  EXPECT_EQ(CGD_OK, Dirty(fd, &bn));
  EXPECT_EQ(0xFFFFFFFFu, bn);

  WriteBlock(2);
  WriteBlock(4097);
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(CGD_OK, Dirty(fd, &bn));
    EXPECT_EQ(4097u, bn);
  }
  ASSERT_EQ(CGD_OK, Read(fd, 4097, 1, w));
  EXPECT_EQ(CGD_OK, Dirty(fd, &bn));
  EXPECT_EQ(2u, bn);
  ASSERT_EQ(CGD_OK, Read(fd, 2, 1, w));
  EXPECT_EQ(CGD_OK, Dirty(fd, &bn));
  EXPECT_EQ(0xFFFFFFFFu, bn);

  errno = 0;
  EXPECT_EQ(-1, Dirty(fd, reinterpret_cast<std::uint32_t*>(pages.readOnly())));
  EXPECT_EQ(EFAULT, errno);
  EXPECT_EQ(Lines{}, LinesStarting("<3>ioctlGetDirtyBlock"));
  EXPECT_EQ(Lines{}, LinesStarting("<4>ioctlGetDirtyBlock"));
  EXPECT_EQ(0, user::munmap(w, 4096));
}

}  // namespace
