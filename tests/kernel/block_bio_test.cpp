// bios and buffer heads: references, completion arithmetic, accounting,
// allocation faults, and the buffer lock that completion releases.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "block_test_util.h"

#include <linux/bio.h>
#include <linux/buffer_head.h>
#include <linux/errno.h>
#include <linux/gfp.h>
#include <linux/mm.h>

namespace {

using standin::mem::Kind;

class BioTest : public KernelTest {};

int destructor_calls;
void CountingDestructor(struct bio*) { destructor_calls++; }

struct EndIoRecord {
  int calls = 0;
  unsigned bytes = 0;
  int error = 0;
  unsigned size_seen = 0;
};
int RecordEndIo(struct bio* bio, unsigned int bytes, int error) {
  auto* r = static_cast<EndIoRecord*>(bio->bi_private);
  r->calls++;
  r->bytes = bytes;
  r->error = error;
  r->size_seen = bio->bi_size;
  return 0;
}

TEST_F(BioTest, ReferencesAreCountedAndTheLastPutFreesOnce) {
  long before = standin::mem::usage().live(Kind::bio);
  struct bio* bio = bio_alloc(GFP_NOIO, 4);
  ASSERT_NE(nullptr, bio);
  EXPECT_EQ(before + 1, standin::mem::usage().live(Kind::bio));
  EXPECT_EQ(1, atomic_read(&bio->bi_cnt));
  EXPECT_EQ(4u, bio->bi_max_vecs);
  EXPECT_NE(nullptr, bio->bi_io_vec);
  EXPECT_TRUE(bio_flagged(bio, BIO_UPTODATE)) << "a new bio starts up to date";

  destructor_calls = 0;
  bio->bi_destructor = CountingDestructor;
  bio_get(bio);
  bio_put(bio);
  EXPECT_EQ(0, destructor_calls) << "freed while a reference was left";
  EXPECT_EQ(before + 1, standin::mem::usage().live(Kind::bio));
  bio_put(bio);
  EXPECT_EQ(1, destructor_calls);
  EXPECT_EQ(before, standin::mem::usage().live(Kind::bio));
  ExpectNoLeaks();
}

TEST_F(BioTest, AllocationFailsWhereTheFaultSiteSaysSo) {
  standin::fault::Attr attr;
  attr.nth = 2;
  standin::fault::set(standin::fault::Site::bio_alloc, attr);
  struct bio* first = bio_alloc(GFP_NOIO, 1);
  struct bio* second = bio_alloc(GFP_NOIO, 1);
  struct bio* third = bio_alloc(GFP_NOIO, 1);
  EXPECT_NE(nullptr, first);
  EXPECT_EQ(nullptr, second);
  EXPECT_NE(nullptr, third);
  EXPECT_EQ(3, standin::fault::calls(standin::fault::Site::bio_alloc));
  EXPECT_EQ(1, standin::fault::failures(standin::fault::Site::bio_alloc));
  standin::fault::clear_all();
  bio_put(first);
  bio_put(third);
  ExpectNoLeaks();
}

TEST_F(BioTest, EndioCountsDownTheSizeAndAnErrorClearsUptodate) {
  struct bio* bio = bio_alloc(GFP_NOIO, 1);
  EndIoRecord rec;
  bio->bi_private = &rec;
  bio->bi_end_io = RecordEndIo;
  bio->bi_size = 8192;
  bio->bi_sector = 100;

  bio_endio(bio, 4096, 0);  // partial
  EXPECT_EQ(1, rec.calls);
  EXPECT_EQ(4096u, rec.bytes);
  EXPECT_EQ(4096u, rec.size_seen);
  EXPECT_EQ(108u, bio->bi_sector);
  EXPECT_TRUE(bio_flagged(bio, BIO_UPTODATE));

  bio_endio(bio, 4096, -EIO);
  EXPECT_EQ(2, rec.calls);
  EXPECT_EQ(-EIO, rec.error);
  EXPECT_EQ(0u, rec.size_seen);
  EXPECT_FALSE(bio_flagged(bio, BIO_UPTODATE));

  // Once not up to date, a completion without an error still reports one.
  bio->bi_size = 512;
  bio_endio(bio, 512, 0);
  EXPECT_EQ(-EIO, rec.error);

  // More bytes than are left: only what is left is done.
  bio->bi_size = 512;
  std::size_t mark = standin::log::mark();
  bio_endio(bio, 4096, 0);
  EXPECT_EQ(512u, rec.bytes);
  EXPECT_EQ(0u, bio->bi_size);
  EXPECT_EQ(1u, standin::log::since(mark).size());
  bio_put(bio);
}

class BufferHeadTest : public KernelTest {};

TEST_F(BufferHeadTest, AllocationIsAccountedAndFaultable) {
  long before = standin::mem::usage().live(Kind::buffer_head);
  struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
  ASSERT_NE(nullptr, bh);
  EXPECT_EQ(before + 1, standin::mem::usage().live(Kind::buffer_head));
  EXPECT_EQ(0ul, bh->b_state);
  EXPECT_TRUE(list_empty(&bh->b_assoc_buffers));

  standin::fault::Attr attr;
  attr.nth = 1;
  standin::fault::set(standin::fault::Site::bh_alloc, attr);
  EXPECT_EQ(nullptr, alloc_buffer_head(GFP_NOIO));
  EXPECT_NE(nullptr, bh);
  standin::fault::clear_all();

  free_buffer_head(bh);
  EXPECT_EQ(before, standin::mem::usage().live(Kind::buffer_head));
  ExpectNoLeaks();
}

TEST_F(BufferHeadTest, SetBhPagePointsIntoThePage) {
  struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
  struct page* pg = alloc_page(GFP_KERNEL);
  set_bh_page(bh, pg, 1024);
  EXPECT_EQ(pg, bh->b_page);
  EXPECT_EQ(static_cast<char*>(page_address(pg)) + 1024, bh->b_data);
  __free_page(pg);
  free_buffer_head(bh);
  ExpectNoLeaks();
}

TEST_F(BufferHeadTest, WaitOnBufferSleepsUntilAnotherThreadUnlocks) {
  struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
  lock_buffer(bh);
  ASSERT_TRUE(buffer_locked(bh));
  std::atomic<bool> unlocking{false};
  std::atomic<bool> saw_unlock_first{false};
  std::thread waiter([&] {
    wait_on_buffer(bh);
    saw_unlock_first = unlocking.load();
  });
  unlocking = true;
  unlock_buffer(bh);
  waiter.join();
  EXPECT_TRUE(saw_unlock_first) << "wait_on_buffer returned while the buffer was locked";
  EXPECT_FALSE(buffer_locked(bh));
  wait_on_buffer(bh);  // an unlocked buffer: returns at once
  free_buffer_head(bh);
}

TEST_F(BufferHeadTest, LockBufferExcludesOtherLockers) {
  struct buffer_head* bh = alloc_buffer_head(GFP_NOIO);
  int inside = 0, max_inside = 0;
  long total = 0;
  auto body = [&] {
    for (int i = 0; i < 2000; i++) {
      lock_buffer(bh);
      int now = ++inside;  // only the holder touches these
      if (now > max_inside) max_inside = now;
      total++;
      --inside;
      unlock_buffer(bh);
    }
  };
  std::thread a(body), b(body);
  a.join();
  b.join();
  EXPECT_EQ(1, max_inside);
  EXPECT_EQ(4000, total);
  free_buffer_head(bh);
}

}  // namespace
