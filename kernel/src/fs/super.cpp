// Super blocks: mounting a device (probing its file system), get_super and
// drop_super, freezing and thawing (writers through the file system wait
// while it is frozen), fsync_bdev and sync_blockdev, unmounting, and the
// frozen-instant hook.
//
// A mount opens its device exclusively (blkdev_get and bd_claim, as
// open_bdev_excl does) and the unmount closes it.  The file system's writes
// are its page cache: they are what a sync writes out and waits for.  Bios
// that other code submits to the device itself are not: a freeze neither
// waits for them nor holds them back, as in the kernel, where the frozen
// instant's consistency comes from the sync and the file system's lockfs
// hook.
//
// Locking: sb_m guards the list of super blocks and every s_count.  Each
// super block's SbState::m guards s_frozen, `mounted` and `writers`; writers
// wait on its condition variable while the file system is frozen.  s_umount
// is held for reading by every get_super holder (so by a freeze until its
// thaw) and for writing by an unmount.  The device's mount lock (bd_mount_sem
// on 2.6.12, bd_mount_mutex on 2.6.18) is held by a mount while it looks for
// a super block and by a freeze until its thaw.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "block/block_internal.h"
#include "fs/super_internal.h"

#include <linux/blkdev.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/rwsem.h>

namespace standin::fs {
namespace {

struct SbState {
  struct super_block* sb = nullptr;
  std::string type;
  struct file_system_type fstype {};
  struct super_operations ops {};
  std::mutex m;
  std::condition_variable cv;
  bool mounted = true;  // Protected by m
  long writers = 0;     // fs writes past the frozen check.  Protected by m
  long waiting = 0;     // fs writes waiting for a thaw.  Protected by m
  blk::Drain fs_writes;
  std::atomic<long> lockfs{0}, unlockfs{0}, syncs{0};
  // Callbacks of set_lockfs_hooks.  hooks_m is held while one runs (so a
  // replacement waits for it) and is taken after the mount lock and s_umount.
  std::mutex hooks_m;
  block::LockfsHooks hooks;  // Protected by hooks_m
};

std::mutex sb_m;
std::list<struct super_block*> supers;  // Protected by sb_m

std::mutex hook_m;
block::FreezeHook freeze_hook;  // Protected by hook_m

SbState* state(struct super_block* sb) { return static_cast<SbState*>(sb->standin); }

extern "C" void fs_write_super_lockfs(struct super_block* sb) {
  SbState* st = state(sb);
  st->lockfs.fetch_add(1);
  std::lock_guard lk(st->hooks_m);
  if (st->hooks.lockfs) st->hooks.lockfs(sb->s_dev);
}
extern "C" void fs_unlockfs(struct super_block* sb) {
  SbState* st = state(sb);
  st->unlockfs.fetch_add(1);
  std::lock_guard lk(st->hooks_m);
  if (st->hooks.unlockfs) st->hooks.unlockfs(sb->s_dev);
}
extern "C" int fs_sync_fs(struct super_block* sb, int wait) {
  state(sb)->syncs.fetch_add(1);
  return 0;
}

// A reference (s_count) on the super block mounted on the device, or NULL.
struct super_block* grab_by(const std::function<bool(struct super_block*)>& match) {
  std::lock_guard lk(sb_m);
  for (struct super_block* sb : supers)
    if (match(sb)) {
      sb->s_count++;
      return sb;
    }
  return nullptr;
}

void put_ref(struct super_block* sb) {
  bool gone;
  {
    std::lock_guard lk(sb_m);
    gone = --sb->s_count == 0;
  }
  if (!gone) return;
  delete state(sb);
  delete sb;
}

unsigned char bits_of(unsigned long bs) {
  unsigned char bits = 0;
  while (bits < 63 && (2UL << bits) <= bs) bits++;
  return bs ? bits : 0;
}

struct super_block* new_super(struct block_device* bdev, const ProbeResult& r) {
  auto* st = new SbState;
  auto* sb = new super_block{};
  st->sb = sb;
  st->type = r.type;
  st->fstype.name = st->type.c_str();
  st->ops.write_super_lockfs = fs_write_super_lockfs;
  st->ops.unlockfs = fs_unlockfs;
  st->ops.sync_fs = fs_sync_fs;
  INIT_LIST_HEAD(&sb->s_list);
  sb->s_dev = bdev->bd_dev;
  sb->s_bdev = bdev;
  sb->s_blocksize = r.block_size;
  sb->s_blocksize_bits = bits_of(r.block_size);
  sb->s_maxbytes = ~0ULL >> 1;
  sb->s_type = &st->fstype;
  sb->s_op = &st->ops;
  sb->s_magic = r.magic;
  init_rwsem(&sb->s_umount);
  sb->s_count = 1;  // the mount's
  atomic_set(&sb->s_active, 1);
  sb->s_frozen = SB_UNFROZEN;
  std::snprintf(sb->s_id, sizeof(sb->s_id), "%u:%u", MAJOR(bdev->bd_dev), MINOR(bdev->bd_dev));
  sb->standin = st;
  return sb;
}

int probe(struct block_device* bdev, ProbeResult* r) {
  std::uint8_t region[kProbeLen];
  int err = blk::bdev_rw(bdev, READ, kProbeOffset / 512, region, kProbeLen, true);
  if (err) return -EIO;
  int got = probe_ext(region, r);
  if (got == 0) got = probe_testfs(region, r);
  return got == 1 ? 0 : got == 0 ? -EINVAL : got;
}

// Waits for the file-system writes begun before the call, then syncs.
int fsync_super(struct super_block* sb) {
  state(sb)->fs_writes.drain();
  if (sb->s_op->sync_fs) sb->s_op->sync_fs(sb, 1);
  return sync_blockdev(sb->s_bdev);
}

int do_umount(struct super_block* sb) {  // called holding a reference
  SbState* st = state(sb);
  struct block_device* bdev = sb->s_bdev;
  down_write(&sb->s_umount);
  {
    std::lock_guard lk(st->m);
    st->mounted = false;
  }
  st->cv.notify_all();
  {
    std::lock_guard lk(sb_m);
    supers.remove(sb);
  }
  {
    std::unique_lock lk(st->m);
    st->cv.wait(lk, [st] { return st->writers == 0; });
  }
  if (sb->s_op->put_super) sb->s_op->put_super(sb);
  up_write(&sb->s_umount);
  bdev->bd_block_size = 512;
  bd_release(bdev);
  blkdev_put(bdev);
  put_ref(sb);  // the mount's
  return 0;
}

// The device's mount lock: a semaphore on 2.6.12, a mutex (released only by
// the task that took it) on 2.6.18.
void mount_lock(struct block_device* bdev) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
  mutex_lock(&bdev->bd_mount_mutex);
#else
  down(&bdev->bd_mount_sem);
#endif
}

void mount_unlock(struct block_device* bdev) {
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2,6,16)
  mutex_unlock(&bdev->bd_mount_mutex);
#else
  up(&bdev->bd_mount_sem);
#endif
}

// The holder a mount claims its device with (the file system type, in the kernel).
char mount_holder;

}  // namespace
}  // namespace standin::fs

namespace standin::blk {

void run_freeze_hook(std::uint32_t dev, struct super_block* sb) {
  block::FreezeHook hook;
  {
    std::lock_guard lk(fs::hook_m);
    hook = fs::freeze_hook;
  }
  if (hook) hook(dev, sb);
}

bool bdev_mounted(struct block_device* bdev) {
  std::lock_guard lk(fs::sb_m);
  return std::any_of(fs::supers.begin(), fs::supers.end(),
                     [bdev](struct super_block* sb) { return sb->s_bdev == bdev; });
}

void umount_disk(DiskState* d) {
  for (;;) {
    struct super_block* sb =
        fs::grab_by([d](struct super_block* sb) { return disk_of(sb->s_bdev) == d; });
    if (!sb) return;
    fs::do_umount(sb);
    fs::put_ref(sb);
  }
}

}  // namespace standin::blk

using standin::fs::SbState;
using standin::fs::state;

extern "C" {

struct super_block *get_super(struct block_device *bdev)
{
	standin::lockcheck::might_sleep("get_super", STANDIN_CALLER);
	if (!bdev)
		return NULL;
	struct super_block *sb =
		standin::fs::grab_by([bdev](struct super_block *s) { return s->s_bdev == bdev; });
	if (!sb)
		return NULL;
	down_read(&sb->s_umount);
	bool mounted;
	{
		std::lock_guard lk(state(sb)->m);
		mounted = state(sb)->mounted;
	}
	if (mounted)
		return sb;
	up_read(&sb->s_umount);
	standin::fs::put_ref(sb);
	return NULL;
}
EXPORT_SYMBOL(get_super);

void drop_super(struct super_block *sb)
{
	if (!sb)
		return;
	up_read(&sb->s_umount);
	standin::fs::put_ref(sb);
}
EXPORT_SYMBOL(drop_super);

struct super_block *freeze_bdev(struct block_device *bdev)
{
	standin::lockcheck::might_sleep("freeze_bdev", STANDIN_CALLER);
	standin::fs::mount_lock(bdev);
	struct super_block *sb = get_super(bdev);
	bool freezing = sb && !(sb->s_flags & MS_RDONLY);
	if (freezing) {
		SbState *st = state(sb);
		{
			std::unique_lock lk(st->m);
			sb->s_frozen = SB_FREEZE_WRITE;
			/* Writers that were past the check finish first. */
			st->cv.wait(lk, [st] { return st->writers == 0; });
		}
		if (sb->s_dirt && sb->s_op->write_super)
			sb->s_op->write_super(sb);
		if (sb->s_op->sync_fs)
			sb->s_op->sync_fs(sb, 1);
		sync_blockdev(sb->s_bdev);
		{
			std::lock_guard lk(st->m);
			sb->s_frozen = SB_FREEZE_TRANS;
		}
		sync_blockdev(sb->s_bdev);
		if (sb->s_op->write_super_lockfs)
			sb->s_op->write_super_lockfs(sb);
	}
	sync_blockdev(bdev);
	if (freezing)
		standin::blk::run_freeze_hook(bdev->bd_dev, sb);
	return sb;	/* thaw_bdev releases it and the mount lock */
}
EXPORT_SYMBOL(freeze_bdev);

void thaw_bdev(struct block_device *bdev, struct super_block *sb)
{
	if (sb && !(sb->s_flags & MS_RDONLY)) {
		BUG_ON(sb->s_bdev != bdev);
		if (sb->s_op->unlockfs)
			sb->s_op->unlockfs(sb);
		SbState *st = state(sb);
		{
			std::lock_guard lk(st->m);
			sb->s_frozen = SB_UNFROZEN;
		}
		st->cv.notify_all();
	}
	if (sb)
		drop_super(sb);
	standin::fs::mount_unlock(bdev);
}
EXPORT_SYMBOL(thaw_bdev);

/*
 * Writes out the device's page cache and waits for it: in the stand-in the
 * writes of the file system mounted on it (which go out synchronously)
 * that began before the call.  Bios submitted to the device by other code
 * are not the page cache's and are not waited for.
 */
int sync_blockdev(struct block_device *bdev)
{
	standin::lockcheck::might_sleep("sync_blockdev", STANDIN_CALLER);
	if (!bdev)
		return 0;
	struct super_block *sb =
		standin::fs::grab_by([bdev](struct super_block *s) { return s->s_bdev == bdev; });
	if (sb) {
		state(sb)->fs_writes.drain();
		standin::fs::put_ref(sb);
	}
	return 0;
}
EXPORT_SYMBOL(sync_blockdev);

int fsync_bdev(struct block_device *bdev)
{
	standin::lockcheck::might_sleep("fsync_bdev", STANDIN_CALLER);
	struct super_block *sb = get_super(bdev);
	if (sb) {
		int res = standin::fs::fsync_super(sb);
		drop_super(sb);
		return res;
	}
	return sync_blockdev(bdev);
}
EXPORT_SYMBOL(fsync_bdev);

}  // extern "C"

namespace standin::block {

bool format_testfs(devnum dev, std::uint32_t block_size) {
  std::uint8_t region[fs::kProbeLen];
  fs::make_testfs_header(region, block_size);
  return blk::number_storage_rw(dev, WRITE, fs::kProbeOffset, region, sizeof(region));
}

int mount(devnum dev, bool read_only) {
  struct block_device* bdev = nullptr;
  int err = blk::open_dev(dev, &bdev);
  if (err) return err == -ENXIO ? -ENODEV : err;
  if (bd_claim(bdev, &fs::mount_holder)) {
    blkdev_put(bdev);
    return -EBUSY;
  }
  fs::mount_lock(bdev);
  err = blk::bdev_mounted(bdev) ? -EBUSY : 0;
  fs::ProbeResult r;
  if (!err) err = fs::probe(bdev, &r);
  if (!err) {
    struct super_block* sb = fs::new_super(bdev, r);
    if (read_only) sb->s_flags |= MS_RDONLY;
    if (r.block_size >= 512 && r.block_size <= 4096 && !(r.block_size & (r.block_size - 1)))
      bdev->bd_block_size = static_cast<unsigned>(r.block_size);
    std::lock_guard lk(fs::sb_m);
    fs::supers.push_back(sb);
  }
  fs::mount_unlock(bdev);
  if (err) {  // a mounted file system keeps its device open
    bd_release(bdev);
    blkdev_put(bdev);
  }
  return err;
}

int umount(devnum dev) {
  struct super_block* sb = fs::grab_by([dev](struct super_block* sb) { return sb->s_dev == dev; });
  if (!sb) return -EINVAL;
  int err = fs::do_umount(sb);
  fs::put_ref(sb);
  return err;
}

bool mounted(devnum dev) {
  std::lock_guard lk(fs::sb_m);
  return std::any_of(fs::supers.begin(), fs::supers.end(),
                     [dev](struct super_block* sb) { return sb->s_dev == dev; });
}

bool fs_info(devnum dev, FsInfo* out) {
  struct super_block* sb = fs::grab_by([dev](struct super_block* sb) { return sb->s_dev == dev; });
  if (!sb) return false;
  SbState* st = state(sb);
  out->type = st->type;
  out->block_size = sb->s_blocksize;
  {
    std::lock_guard lk(st->m);
    out->frozen = sb->s_frozen;
    out->waiting_writers = st->waiting;
  }
  out->lockfs_calls = st->lockfs.load();
  out->unlockfs_calls = st->unlockfs.load();
  out->sync_calls = st->syncs.load();
  fs::put_ref(sb);
  return true;
}

namespace {

// Runs an I/O on the mounted file system of dev; a write first waits for
// a thaw and counts as in flight until it is done.
int fs_io(devnum dev, int rw, std::uint64_t offset, void* buf, std::size_t len) {
  if (offset % 512 || len % 512) return -EINVAL;
  struct super_block* sb = fs::grab_by([dev](struct super_block* sb) { return sb->s_dev == dev; });
  if (!sb) return -ENODEV;
  SbState* st = state(sb);
  std::uint64_t ticket = 0;
  bool write = rw == WRITE;
  {
    std::unique_lock lk(st->m);
    if (write) {
      st->waiting++;
      st->cv.wait(lk, [st, sb] { return sb->s_frozen == SB_UNFROZEN || !st->mounted; });
      st->waiting--;
    }
    if (!st->mounted || (write && (sb->s_flags & MS_RDONLY))) {
      lk.unlock();
      fs::put_ref(sb);
      return st->mounted ? -EROFS : -ENODEV;
    }
    if (write) {
      st->writers++;
      ticket = st->fs_writes.begin();
    }
  }
  int err = blk::bdev_rw(sb->s_bdev, rw, offset / 512, buf, len);
  if (write) {
    {
      std::lock_guard lk(st->m);
      st->writers--;
    }
    st->fs_writes.end(ticket);
    st->cv.notify_all();
  }
  fs::put_ref(sb);
  return err;
}

}  // namespace

int fs_write(devnum dev, std::uint64_t offset, const void* buf, std::size_t len) {
  return fs_io(dev, WRITE, offset, const_cast<void*>(buf), len);
}

int fs_read(devnum dev, std::uint64_t offset, void* buf, std::size_t len) {
  return fs_io(dev, READ, offset, buf, len);
}

bool set_lockfs_hooks(devnum dev, LockfsHooks hooks) {
  struct super_block* sb = fs::grab_by([dev](struct super_block* sb) { return sb->s_dev == dev; });
  if (!sb) return false;
  SbState* st = state(sb);
  {
    std::lock_guard lk(st->hooks_m);
    st->hooks = std::move(hooks);
  }
  fs::put_ref(sb);
  return true;
}

void set_freeze_hook(FreezeHook hook) {
  std::lock_guard lk(fs::hook_m);
  fs::freeze_hook = std::move(hook);
}

}  // namespace standin::block
