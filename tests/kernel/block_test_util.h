// Helpers of the block-layer and file-system tests: data patterns, bios
// built by hand whose completion is recorded, a make-request hook on a
// queue, and a watchdog for cases that would hang on a deadlock.
#pragma once
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "standin/block.h"
#include "support/kernel_test.h"

#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/gfp.h>
#include <linux/mm.h>
#include <linux/sched.h>
#include <linux/version.h>

namespace blocktest {

namespace sb = standin::block;

inline std::vector<std::uint8_t> Pattern(std::size_t len, std::uint32_t seed) {
  std::vector<std::uint8_t> v(len);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return v;
}

// A bio over freshly allocated pages, submitted by hand; its completion is
// recorded (thread, task, error, flags) and can be waited for.
struct TestBio {
  struct bio* bio = nullptr;
  std::vector<struct page*> pages;
  std::size_t len = 0;

  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  int calls = 0;
  int error = 0;
  unsigned bytes = 0;
  bool uptodate = false;
  std::thread::id thread;
  pid_t pid = 0;
  std::string comm;

  TestBio(struct block_device* bdev, std::uint64_t sector, std::size_t bytes_len) : len(bytes_len) {
    std::size_t n = (len + PAGE_SIZE - 1) / PAGE_SIZE;
    bio = bio_alloc(GFP_NOIO, static_cast<int>(n));
    for (std::size_t i = 0; i < n; i++) {
      struct page* pg = alloc_page(GFP_KERNEL);
      pages.push_back(pg);
      std::size_t seg = std::min<std::size_t>(PAGE_SIZE, len - i * PAGE_SIZE);
      bio->bi_io_vec[i] = {pg, static_cast<unsigned>(seg), 0};
    }
    bio->bi_vcnt = static_cast<unsigned short>(n);
    bio->bi_size = static_cast<unsigned>(len);
    bio->bi_sector = sector;
    bio->bi_bdev = bdev;
    bio->bi_end_io = &TestBio::EndIo;
    bio->bi_private = this;
  }
  ~TestBio() {
    if (bio) bio_put(bio);
    for (struct page* pg : pages) __free_page(pg);
  }

  void Fill(const std::vector<std::uint8_t>& data) {
    for (std::size_t i = 0; i < pages.size(); i++)
      std::memcpy(page_address(pages[i]), data.data() + i * PAGE_SIZE,
                  std::min<std::size_t>(PAGE_SIZE, len - i * PAGE_SIZE));
  }
  std::vector<std::uint8_t> Data() {
    std::vector<std::uint8_t> out(len);
    for (std::size_t i = 0; i < pages.size(); i++)
      std::memcpy(out.data() + i * PAGE_SIZE, page_address(pages[i]),
                  std::min<std::size_t>(PAGE_SIZE, len - i * PAGE_SIZE));
    return out;
  }
  bool Done() {
    std::lock_guard lk(m);
    return done;
  }
  // Waits for the completion (bounded: a lost completion fails the case).
  bool Wait() {
    std::unique_lock lk(m);
    return cv.wait_for(lk, std::chrono::seconds(30), [this] { return done; });
  }

  static int EndIo(struct bio* b, unsigned int bytes_done, int err) {
    auto* t = static_cast<TestBio*>(b->bi_private);
    std::lock_guard lk(t->m);
    t->calls++;
    t->error = err;
    t->bytes += bytes_done;
    t->uptodate = bio_flagged(b, BIO_UPTODATE);
    t->thread = std::this_thread::get_id();
    t->pid = current->pid;
    t->comm = current->comm;
    if (b->bi_size == 0) {
      t->done = true;
      t->cv.notify_all();
    }
    return 0;
  }
};

// Replaces a queue's make-request function (under its lock) for the life of
// the object; the hook gets the real function to pass bios on to.
class QueueHook {
 public:
  using Fn = std::function<int(request_queue_t*, struct bio*, make_request_fn* real)>;
  QueueHook(request_queue_t* q, Fn fn) : q_(q) {
    active() = this;
    fn_ = std::move(fn);
    unsigned long flags;
    spin_lock_irqsave(q->queue_lock, flags);
    real_ = q->make_request_fn;
    q->make_request_fn = &QueueHook::Trampoline;
    spin_unlock_irqrestore(q->queue_lock, flags);
  }
  ~QueueHook() {
    unsigned long flags;
    spin_lock_irqsave(q_->queue_lock, flags);
    q_->make_request_fn = real_;
    spin_unlock_irqrestore(q_->queue_lock, flags);
    active() = nullptr;
  }
  make_request_fn* real() const { return real_; }

 private:
  static QueueHook*& active() {
    static QueueHook* h = nullptr;
    return h;
  }
  static int Trampoline(request_queue_t* q, struct bio* bio) {
    QueueHook* h = active();
    return h->fn_(q, bio, h->real_);
  }
  request_queue_t* q_;
  make_request_fn* real_ = nullptr;
  Fn fn_;
};

// Runs body on a thread and waits for it; a case that does not end in time
// is a deadlock: report it and stop the process (the case runs alone).
inline void RunOrDie(const std::string& what, std::function<void()> body,
                     std::chrono::seconds limit = std::chrono::seconds(60)) {
  auto done = std::make_shared<std::promise<void>>();
  auto fut = done->get_future();
  std::thread([body = std::move(body), done] {
    body();
    done->set_value();
  }).detach();
  if (fut.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "%s did not finish: deadlock\n", what.c_str());
    std::fflush(stderr);
    std::_Exit(3);
  }
}

// Yields until pred holds; a bounded wait for a state another thread reaches.
inline bool Eventually(const std::function<bool()>& pred,
                       std::chrono::seconds limit = std::chrono::seconds(30)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

// Opens a block device as a process that opens its device node does:
// nullptr when no disk serves the number.  Close it with blkdev_put.
inline struct block_device* OpenBdev(sb::devnum dev) {
  struct block_device* b = bdget(dev);
  if (!b || blkdev_get(b, FMODE_READ | FMODE_WRITE, 0)) return nullptr;
  return b;
}

// Whether someone holds the device's mount lock (bd_mount_sem on 2.6.12,
// bd_mount_mutex on 2.6.18): a try that takes it gives it back at once.
inline bool MountLockHeld(struct block_device* b) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
  if (!mutex_trylock(&b->bd_mount_mutex)) return true;
  mutex_unlock(&b->bd_mount_mutex);
#else
  if (down_trylock(&b->bd_mount_sem)) return true;
  up(&b->bd_mount_sem);
#endif
  return false;
}

inline std::string TempPath(const std::string& tag) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/cg-" + tag + "-" + std::to_string(getpid()) +
         ".img";
}

}  // namespace blocktest
