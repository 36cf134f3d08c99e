/*
 * The module-wide objects of cowguard and the functions of its subsystems.
 */
#ifndef _COWGUARD_CGDLIB_H
#define _COWGUARD_CGDLIB_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/spinlock.h>
#include <linux/rwsem.h>
#include <linux/completion.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/poll.h>
#include <linux/blkdev.h>
#include <linux/buffer_head.h>
#include <asm/atomic.h>
#include <asm/semaphore.h>

#include "cowguard.h"
#include "stats.h"
#include "globals.h"
#include "queueList.h"
#include "cgd-2.6.h"

#define CGD_AMLIST_DIM 256

/*
 * Module-wide state.  Every object starts from its static value at load;
 * the users counters rest at 1 (nobody inside).
 *
 * initDone: set once the device is registered (read without a lock).
 * amList/amListUsers/amListUsersLock: tracking sessions by [major][minor];
 *	counted-users protocol; order: the registry before the table before a
 *	session before the maps' usersLock.
 * queueListHead/queueListUsers/queueListUsersLock: the registry of hooked
 *	queues; counted-users protocol; queueListUsersLock -> the table (as a
 *	reader) -> a queue's own queue_lock.
 * signalThread: wake-ups of kbackupd, one per queued request.
 * busy/busyLock: one started backup at a time (test and set under busyLock).
 * activeSession/activeSessionUsers: the backup the hook protects; readers:
 *	the hook; writer: the session close.
 * backup_cache*: the kbackupd thread's pid, run flag and completions.
 * autoMapSem: held by a snapshot from the lookup of the device's tracking
 *	session to the frozen instant (it uses the session without a
 *	reference in between) and by the shutdown command while it closes
 *	every session; taken after a record's bSem, before writers.  Sleeps.
 */
extern atomic_t initDone;
extern atomic_t curAllocAMPages;
extern struct AutoMapSession *amList[CGD_AMLIST_DIM][CGD_AMLIST_DIM];
extern atomic_t amListUsers;
extern spinlock_t amListUsersLock;
extern struct list_head queueListHead;
extern atomic_t queueListUsers;
extern spinlock_t queueListUsersLock;
extern struct semaphore signalThread;
extern atomic_t busy;
extern spinlock_t busyLock;
extern struct Backup *activeSession;
extern struct rw_semaphore activeSessionUsers;
extern struct semaphore autoMapSem;
extern pid_t backup_cachePID;
extern atomic_t backup_cacheThreadContinue;
extern struct completion backup_cacheThreadExited;
extern struct completion backup_cacheThreadStartCompleted;
extern struct file_operations cgdFileOps;
extern struct vm_operations_struct cgdVMOps;

/* Kernel-version shim. */
int cgdModRegister(unsigned int major, const char *name, struct file_operations *fops);
int cgdCheckModUse(void);
int cgdModGet(void);
void cgdModPut(void);
request_queue_t *cgdGetRequestQueue(struct block_device *bdev);
void cgdLockRequestQueue(request_queue_t *q, unsigned long *flags);
void cgdUnlockRequestQueue(request_queue_t *q, unsigned long *flags);
request_queue_t *getRequestQueue(struct DiskInfo *diskInfo);
void cgdCondResched(void);

/* Module lifecycle and control device. */
/* C linkage: module_init and module_exit make the loader's entry points aliases of them. */
extern "C" int cgdInit(void);
extern "C" void cgdExit(void);
int cgdUnload(void);
int cgdShutdown(void);
int cgdOpen(struct inode *inode, struct file *file);
int cgdRelease(struct inode *inode, struct file *file);

/* Command dispatcher. */
int cgdIOCTL(struct inode *inode, struct file *file, unsigned int cmd, unsigned long arg);

/* Paged block bitmap. */
int newBlockMap(struct BlockMap *bmap, u32 size, void __user *data, int zeroFill, u32 *numPagesAlloc);
void closeBlockMap(struct BlockMap *bmap, u32 *numPagesFreed);
u32 numPagesInBlockMap(struct BlockMap *bmap);
int blockInMap(struct BlockMap *bm, u32 blockNum);
int setBlock(struct BlockMap *bm, u32 blockNum);
int unSetBlock(struct BlockMap *bm, u32 blockNum);
/* Counted users and allocations retried until given (bmap-users.cpp). */
void enterUsers(atomic_t *users, spinlock_t *lock);
void leaveUsers(atomic_t *users);
void drainUsers(atomic_t *users, spinlock_t *lock, unsigned long *flags);
void *allocUntilGiven(size_t size);
struct buffer_head *allocBHUntilGiven(void);
struct bio *allocBIOUntilGiven(void);

void waitForBlockMapUsers(struct BlockMap *bm, unsigned long *flags);
void detachBlockMap(struct BlockMap *bm, struct BlockMap *out);
void attachBlockMap(struct BlockMap *bm, struct BlockMap *from);

/* Request-queue registry and hook installation. */
int isInDevList(struct QueueList *queueList, dev_t kdev);
int addDevToList(struct QueueList *queueList, dev_t kdev, struct DevList *newNode);
int isInQueueList(request_queue_t *q, dev_t kdev);
void addQueueToList(request_queue_t *q, dev_t kdev);
void waitForQueueListUsers(unsigned long *flags);
int setMRF(struct Backup *b, make_request_fn *newMRF);
make_request_fn *getRealMRF(request_queue_t *q);
void unSetMRFDEV(struct DiskInfo *diskInfo);
void unSetMRFAMS(struct AutoMapSession *ams);
void unsetQueueMRFAMS(request_queue_t *q);
void enterQueueListReader(void);
void leaveQueueListReader(void);
struct QueueList *__findQueueNode(request_queue_t *q);
struct QueueList *__findQueueOfDev(dev_t kdev);
void __forEachQueueDev(struct QueueList *ql, void (*fn)(dev_t kdev, void *arg), void *arg);
void __unsyncQueueAMS(struct QueueList *ql);	/* caller inside the registry */
request_queue_t *queueOfDevice(dev_t kdev);

/* Write interception and bio mapping. */
int cgdMRF(request_queue_t *q, struct bio *bio);
int bioOnDevice(struct DiskInfo *diskInfo, struct bio *bio);
void BIOToBlockNumbers(struct DiskInfo *diskInfo, struct bio *bio, u32 *startBN, u32 *endBN);
int callRealMRF(struct Backup *b, struct bio *bio);
int doWeCacheBlock(struct Backup *b, u32 bn);

/* Make-request queue and cache thread. */
void addMRToQueue(struct Backup *b, struct MakeRequest *mr);
void processMR(struct Backup *b, struct MakeRequest *mr);
void cacheBlock(struct Backup *b, struct MakeRequest *mr, u32 blockNum);
int backup_cache(void *unused);
int startWorkQueue(struct Backup *b);
void flushWorkQueue(struct Backup *b);
void killWorkQueue(struct Backup *b);
void initBH(struct Backup *b, struct buffer_head *bh, struct page *page, unsigned long offset, u32 blockNum);
void initBIO(struct Backup *b, struct bio *bio, struct buffer_head *bh);
int cgdBIOEndIO(struct bio *bio, unsigned int bytesDone, int err);
void cgdBHEndIO(struct buffer_head *bh, int uptodate);

/* Preserved-block store. */
int newBlockTable(struct Backup *b);
int newStoreCaches(struct Backup *b);	/* cpCache and dataCache, for the session start */
int newCacheMap(struct Backup *b);
int saveBlock(struct Backup *b, unsigned char *data, u32 blockNum);
struct CachePage *getCacheBlock(struct Backup *b);
int cacheRead(struct Backup *b, unsigned char *dest, u32 blockNum);
int cleanUpCache(struct Backup *b);
void closeCache(struct Backup *b);
void closeCacheMap(struct Backup *b);
void closeBlockTable(struct Backup *b);

/* Dirty-block query. */
int ioctlGetDirtyBlock(struct Backup *b, u32 __user *userBlockNumPtr);

/* Disk geometry. */
int getDiskInfo(struct DiskInfo *diskInfo, dev_t kdev);
void closeDiskInfo(struct DiskInfo *diskInfo);
int getDiskMinor(dev_t kdev);
int ioctlGetBlockSize(struct Backup *b, dev_t kdev, struct BlockSize __user *userBS, u32 bsLen);

/* Backup start and close. */
int ioctlStartBackup(struct Backup *b, dev_t kdev, u32 totalBlocks_, u32 maxCacheBlocks_);
void closeBackup(struct Backup *b);

/* Snapshot and sync. */
int ioctlSnapShot(struct Backup *b, struct AMSessionKey __user *userKey, u32 keyLen);
int ioctlSync(struct Backup *b);

/* Backup block map load. */
int ioctlLoadBlockMap(struct Backup *b, struct UserBlockMap *userBM);
int newBUBlockMap(struct Backup *b, u32 size, void __user *data);
void closeBUBlockMap(struct Backup *b);

/* State and statistics. */
int ioctlGetState(struct Backup *b, struct State __user *userState, u32 stateLen);
int ioctlGetStats(struct Backup *b, struct Stats __user *userStats, u32 statsLen);
void setStats(struct Backup *b, struct Stats *stats);
void printStats(struct Stats *stats);

/* Mapped transfer windows. */
int cgdMMAP(struct file *file, struct vm_area_struct *vma);
void cgdVMclose(struct vm_area_struct *vma);
struct page *cgdVMnopage(struct vm_area_struct *vma, unsigned long address, int *unused);
int checkVMA(struct Backup *b, void __user *data, struct BackupVMA **bVMAPtr);
void freeAllMMPages(struct Backup *b);

/* Block read. */
int ioctlReadBlocks(struct Backup *b, u32 startBlockNum, u32 numBlocks, void __user *data);
u32 readFromCache(struct Backup *b, u32 startBlockNum, u32 numBlocks, struct BackupVMA *bVMA);
unsigned char *mmPageAddr(struct Backup *b, int i, struct BackupVMA *bVMA);
int allocateBlockRequests(struct Backup *b);
void freeMMBRs(struct Backup *b);

/* Automap session table, write tracking and automap commands. */
int newAMS(struct Backup *b, struct AutoMapSession **amSession);
int closeAMS(struct Backup *b);
void closeAM(struct AutoMapSession *ams);
void closeAllAMS(void);
void errorAMS(struct Backup *b);
void errorAMSDEV(dev_t kdev);
int countQueueAMS(request_queue_t *q);
void waitForAMSUsers(struct AutoMapSession *ams, unsigned long *flags);
/*
 * Session lookup.  amSlot: the table slot of a device, or NULL for a device
 * whose major or minor is 256 or more (it has no slot); caller inside the
 * table.  getAMS: the device's session with a reference taken (drop it with
 * putAMS), or NULL.
 */
void enterAMListReader(void);
void leaveAMListReader(void);
struct AutoMapSession **amSlot(dev_t kdev);
struct AutoMapSession *getAMS(dev_t kdev);
void putAMS(struct AutoMapSession *ams);
void updateAM(struct bio *bio);
int cgdAMRF(request_queue_t *q, struct bio *bio);
int ioctlGetAutoMapState(struct Backup *b, struct AutoMapState __user *userAMS, u32 amsLen);
int ioctlGetAutoMap(struct Backup *b, struct UserBlockMap *userBM);
int ioctlNoLoadFromAutoMap(struct Backup *b);
int ioctlNoStartAutoMap(struct Backup *b);

#endif
