/*
 * Disk geometry: where a device lies on its disk, how long it is, the block
 * size of the file system mounted on it and the conversions between 512-byte
 * sectors and file-system blocks; and command 0, which reports block size and
 * size of any device.
 *
 * A DiskInfo that getDiskInfo filled holds one reference on the block device
 * (bdget); closeDiskInfo drops it.  Whoever keeps a copy of the record beyond
 * the life of the original takes its own reference.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/kdev_t.h>
#include <linux/fs.h>
#include <linux/genhd.h>
#include <linux/bitops.h>
#include <asm/uaccess.h>

#include "cgdlib.h"

/* Drops the block-device reference a record holds, if any. */
static void putDiskInfoBdev(struct DiskInfo *diskInfo)
{
	if (diskInfo->bdev) {
		bdput(diskInfo->bdev);
		diskInfo->bdev = NULL;
	}
}

/* Start and length in sectors of the device, from its partition or disk. */
static void getDiskExtent(struct DiskInfo *diskInfo, struct block_device *bdev)
{
	if (bdev->bd_contains && bdev->bd_contains != bdev && bdev->bd_part)
		diskInfo->partitionStart = bdev->bd_part->start_sect;
	else
		diskInfo->partitionStart = 0;

	if (bdev->bd_part)
		diskInfo->partitionLen = bdev->bd_part->nr_sects;
	else if (bdev->bd_disk)
		diskInfo->partitionLen = get_capacity(bdev->bd_disk);
	else
		printk(KERN_WARNING "%s: can't detect device %x size.\n", "getDiskInfo", diskInfo->kdev);
	diskInfo->partitionSizeKB = diskInfo->partitionLen / 2;
}

/*
 * Fills diskInfo for device kdev from the file system mounted on it.
 * Returns 0; CGD_ERR_NO_DEVICE when there is no such device or nothing is
 * mounted on it; CGD_ERR_UNAVAILABLE for a block size below 512.  On success
 * the record holds a reference on the block device until closeDiskInfo; on
 * failure it holds none.  numBlocks, realMRF and superBlock are left alone
 * (superBlock is cleared).  May sleep (get_super).
 */
int getDiskInfo(struct DiskInfo *diskInfo, dev_t kdev)
{
	struct super_block *sb = NULL;
	int status;

	diskInfo->kdev = kdev;
	diskInfo->superBlock = NULL;
	diskInfo->bdev = bdget(kdev);
	if (diskInfo->bdev)
		sb = get_super(diskInfo->bdev);
	if (!sb) {
		printk(KERN_ERR "%s: device major=%d minor=%d not found, getting super block failed\n",
		       __func__, (int)MAJOR(kdev), (int)MINOR(kdev));
		status = CGD_ERR_NO_DEVICE;
		goto out_put;
	}

	diskInfo->blockSize = (int)sb->s_blocksize;
	diskInfo->sectorsPerBlock = diskInfo->blockSize / 512;
	if (diskInfo->sectorsPerBlock <= 0) {
		printk(KERN_WARNING "%s: device %x has bad block size %d\n", __func__, kdev,
		       diskInfo->blockSize);
		status = CGD_ERR_UNAVAILABLE;
		goto out_drop;
	}
	diskInfo->blocksPerPage = 4096 / diskInfo->blockSize;
	diskInfo->sectorsPerBlockShift = (int)__ffs((unsigned long)diskInfo->sectorsPerBlock);
	getDiskExtent(diskInfo, diskInfo->bdev);
	drop_super(sb);
	return CGD_OK;

out_drop:
	drop_super(sb);
out_put:
	putDiskInfoBdev(diskInfo);
	return status;
}

/* Releases what a record holds: a super block and the block-device reference. */
void closeDiskInfo(struct DiskInfo *diskInfo)
{
	if (diskInfo->superBlock) {
		drop_super(diskInfo->superBlock);
		diskInfo->superBlock = NULL;
	}
	putDiskInfoBdev(diskInfo);
}

/*
 * The minor number of the whole disk that holds device kdev, or -1.  The
 * reference taken for the lookup is dropped again.
 */
int getDiskMinor(dev_t kdev)
{
	struct block_device *bdev = bdget(kdev);
	int minor;

	if (!bdev) {
		printk(KERN_ERR "%s: Could not get block device for MAJOR=%d, MINOR=%d\n",
		       __func__, (int)MAJOR(kdev), (int)MINOR(kdev));
		return -1;
	}
	if (!bdev->bd_contains) {
		printk(KERN_ERR "%s: Parent block device not valid for MAJOR=%d, MINOR=%d\n",
		       __func__, (int)MAJOR(kdev), (int)MINOR(kdev));
		bdput(bdev);
		return -1;
	}
	minor = (int)MINOR(bdev->bd_contains->bd_dev);
	bdput(bdev);
	return minor;
}

/*
 * Command 0: block size and size of device kdev, min(bsLen, 16) bytes of a
 * BlockSize written to userBS.  Nothing is written when the device cannot
 * be described.  Uses neither the session record nor any module lock.
 */
int ioctlGetBlockSize(struct Backup *b, dev_t kdev, struct BlockSize __user *userBS, u32 bsLen)
{
	struct BlockSize bs;
	struct DiskInfo diskInfo;
	int status;

	memset(&bs, 0, sizeof(bs));
	memset(&diskInfo, 0, sizeof(diskInfo));
	bs.major = MAJOR(kdev);
	bs.minor = MINOR(kdev);

	status = getDiskInfo(&diskInfo, kdev);
	if (status == CGD_OK) {
		bs.blockSize = diskInfo.blockSize;
		bs.partitionSizeKB = (unsigned int)diskInfo.partitionSizeKB;
		if (copy_to_user(userBS, &bs, bsLen < sizeof(bs) ? bsLen : sizeof(bs))) {
			printk(KERN_ERR "%s: copy to user space %s\n", __func__, "failed");
			status = CGD_ERR_COPY_OUT;
		}
	}
	closeDiskInfo(&diskInfo);
	return status;
}
