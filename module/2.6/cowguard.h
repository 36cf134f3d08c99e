/*
 * cowguard: the interface between the module and the backup agent.
 *
 * Shared by the module (built freestanding) and the agent (user space), so it
 * includes nothing.  Every command is an ioctl on the control device
 * "/dev/cowguard" (character major 120) whose argument is the address of the
 * command's record; the ioctl result is the status (CGD_OK, CGD_ERR_*).
 * Records have the native x86-64 layout; the sizes and offsets checked at the
 * end of this file are part of the interface.
 */
#ifndef _COWGUARD_H
#define _COWGUARD_H

#define CGD_MAJOR 120
#define CGD_DEVICE_NAME "cowguard"
#define CGD_DEVICE_NODE "/dev/cowguard"

#define CGD_VERSION_MAJOR 3
#define CGD_VERSION_MINOR 1
#define CGD_VERSION_MINOR2 0
#define CGD_VERSION_BUILD 9504

/* Status codes: the result of every command. */
#define CGD_OK 0
#define CGD_ERR_NOT_READY 1	/* module not loaded yet; or the device has no request queue */
#define CGD_ERR_INVALID 2	/* no session record, argument out of range, or wrong state */
#define CGD_ERR_UNAVAILABLE 3	/* module unloading; unusable block size; command 16 */
#define CGD_ERR_BAD_COMMAND 4	/* unknown command number */
#define CGD_ERR_NO_MEMORY 5
#define CGD_ERR_COPY_IN 6	/* a record or data could not be read from user space */
#define CGD_ERR_COPY_OUT 7	/* a record or data could not be written to user space */
#define CGD_ERR_NO_DEVICE 8	/* no file system mounted on the device */
#define CGD_ERR_BACKUP_OPEN 9	/* another backup holds the module */
#define CGD_ERR_ALREADY_STARTED 11
#define CGD_ERR_IO 12		/* some blocks could not be read from the disk */

/*
 * open() of the control device fails with an errno, as every open does:
 *	CGD_ERR_NOT_READY   -> EAGAIN  (the module has not finished loading)
 *	CGD_ERR_UNAVAILABLE -> ENXIO   (the module is being unloaded)
 *	CGD_ERR_NO_MEMORY   -> ENOMEM
 */
#define CGD_OPEN_ERRNO_NOT_READY 11
#define CGD_OPEN_ERRNO_UNAVAILABLE 6
#define CGD_OPEN_ERRNO_NO_MEMORY 12

/* Backup session states. */
#define CGD_STATE_IDLE 0
#define CGD_STATE_STARTING 1
#define CGD_STATE_STARTED 2
#define CGD_STATE_SNAPPED 4
#define CGD_STATE_LOADING_MAP 5
#define CGD_STATE_READING 6
#define CGD_STATE_CLOSING 7
#define CGD_STATE_READ_ERROR 8
#define CGD_STATE_MAP_ERROR 9
#define CGD_STATE_CACHE_ERROR 10
#define CGD_STATE_REFUSED 12
#define CGD_STATE_HOOK_ERROR 13

/* Changed-block tracking (automap) session states. */
#define CGD_AUTOMAP_NOT_IN_SYNC 0
#define CGD_AUTOMAP_IN_SYNC 1

#define CGD_KEY_SIZE 56

struct BlockSize {
	unsigned int major;
	unsigned int minor;
	int blockSize;			/* block size of the mounted file system */
	unsigned int partitionSizeKB;	/* device size in KiB */
};

struct GetBlockSize {
	unsigned int major;
	unsigned int minor;
	struct BlockSize *bs;
	unsigned int len;		/* bytes of BlockSize accepted */
};

struct StartBackup {
	unsigned int major;
	unsigned int minor;
	unsigned int totalBlocks;	/* file system size in blocks */
	unsigned int maxCacheBlocks;	/* most blocks the preserved-block store may hold */
};

struct AMSessionKey {
	unsigned char key[CGD_KEY_SIZE];
};

struct SnapShot {
	struct AMSessionKey *amsKey;	/* key of the device's tracking session, as last received */
	unsigned int len;		/* bytes of key supplied; at most 56 are read */
};

struct State {
	unsigned int major;
	unsigned int minor;
	unsigned int state;
	int blockSize;
	int mmapSize;			/* bytes one transfer window may map */
};

struct GetState {
	struct State *s;
	unsigned int len;
};

struct AutoMapState {
	unsigned int major;
	unsigned int minor;
	unsigned int state;		/* CGD_AUTOMAP_*; 0 when the device has no session */
	unsigned int mapLen;		/* blocks the tracking bitmap covers */
	unsigned int mapSize;		/* bytes of the tracking bitmap */
	struct AMSessionKey amsKey;
};

struct GetAutoMapState {
	struct AutoMapState *ams;
	unsigned int len;
};

/* A bitmap in user space: block n is bit n % 8 (least significant first) of byte n / 8. */
struct UserBlockMap {
	unsigned char *map;
	unsigned int mapLen;		/* blocks (bits) */
};

struct LoadBlockMap {
	struct UserBlockMap *bm;
	unsigned int len;		/* not used */
};

struct GetAutoMap {
	struct UserBlockMap *bm;
	unsigned int len;		/* not used */
};

struct DirtyBlock {
	unsigned int *blockNum;
};

struct ReadBlocks {
	unsigned int startBlockNum;
	unsigned int numBlocks;
	void *data;			/* start of one of the agent's mapped windows */
};

struct Stats;
struct GetStats {
	struct Stats *stats;
	unsigned int len;		/* bytes of Stats accepted */
};

/* ioctl number encoding: nr 0-7, type 8-15, size 16-29, direction 30-31. */
#define CGD_IOC_TYPE 0x2a		/* '*' */
#define CGD_IOC(dir, nr, size) \
	((unsigned int)(((dir) << 30) | ((size) << 16) | (CGD_IOC_TYPE << 8) | (nr)))
#define CGD_IOW(nr, size) CGD_IOC(1U, (nr), (unsigned int)(size))
#define CGD_IO(nr) CGD_IOC(0U, (nr), 0U)

#define CGD_GET_BLOCK_SIZE CGD_IOW(0, sizeof(struct GetBlockSize))
#define CGD_START_BACKUP CGD_IOW(1, sizeof(struct StartBackup))
#define CGD_SNAPSHOT CGD_IOW(2, sizeof(struct SnapShot))
#define CGD_GET_STATE CGD_IOW(3, sizeof(struct GetState))
#define CGD_GET_AUTOMAP_STATE CGD_IOW(4, sizeof(struct GetAutoMapState))
#define CGD_NO_LOAD_FROM_AUTOMAP CGD_IO(5)
#define CGD_NO_START_AUTOMAP CGD_IO(6)
#define CGD_LOAD_BLOCK_MAP CGD_IOW(7, sizeof(struct LoadBlockMap))
#define CGD_GET_AUTOMAP CGD_IOW(8, sizeof(struct GetAutoMap))
#define CGD_GET_DIRTY_BLOCK CGD_IOW(9, sizeof(struct DirtyBlock))
#define CGD_READ_BLOCKS CGD_IOW(10, sizeof(struct ReadBlocks))
#define CGD_GET_VERSION_MAJOR CGD_IOW(12, 4)
#define CGD_GET_VERSION_MINOR CGD_IOW(13, 4)
#define CGD_SYNC CGD_IOW(14, 4)
#define CGD_SHUTDOWN CGD_IOW(15, 4)
#define CGD_CMD_16 CGD_IOW(16, 4)
#define CGD_GET_STATS CGD_IOW(17, sizeof(struct GetStats))

#define CGD_CHECK_SIZE(t, n) static_assert(sizeof(struct t) == (n), "size of " #t)
#define CGD_CHECK_OFFSET(t, f, n) static_assert(__builtin_offsetof(struct t, f) == (n), "offset of " #t "." #f)

CGD_CHECK_SIZE(BlockSize, 16);
CGD_CHECK_OFFSET(BlockSize, blockSize, 8);
CGD_CHECK_OFFSET(BlockSize, partitionSizeKB, 12);
CGD_CHECK_SIZE(GetBlockSize, 24);
CGD_CHECK_OFFSET(GetBlockSize, bs, 8);
CGD_CHECK_OFFSET(GetBlockSize, len, 16);
CGD_CHECK_SIZE(StartBackup, 16);
CGD_CHECK_OFFSET(StartBackup, totalBlocks, 8);
CGD_CHECK_OFFSET(StartBackup, maxCacheBlocks, 12);
CGD_CHECK_SIZE(AMSessionKey, 56);
CGD_CHECK_SIZE(SnapShot, 16);
CGD_CHECK_OFFSET(SnapShot, len, 8);
CGD_CHECK_SIZE(State, 20);
CGD_CHECK_OFFSET(State, state, 8);
CGD_CHECK_OFFSET(State, blockSize, 12);
CGD_CHECK_OFFSET(State, mmapSize, 16);
CGD_CHECK_SIZE(GetState, 16);
CGD_CHECK_OFFSET(GetState, len, 8);
CGD_CHECK_SIZE(AutoMapState, 76);
CGD_CHECK_OFFSET(AutoMapState, state, 8);
CGD_CHECK_OFFSET(AutoMapState, mapLen, 12);
CGD_CHECK_OFFSET(AutoMapState, mapSize, 16);
CGD_CHECK_OFFSET(AutoMapState, amsKey, 20);
CGD_CHECK_SIZE(GetAutoMapState, 16);
CGD_CHECK_SIZE(UserBlockMap, 16);
CGD_CHECK_OFFSET(UserBlockMap, mapLen, 8);
CGD_CHECK_SIZE(LoadBlockMap, 16);
CGD_CHECK_SIZE(GetAutoMap, 16);
CGD_CHECK_SIZE(DirtyBlock, 8);
CGD_CHECK_SIZE(ReadBlocks, 16);
CGD_CHECK_OFFSET(ReadBlocks, numBlocks, 4);
CGD_CHECK_OFFSET(ReadBlocks, data, 8);
CGD_CHECK_SIZE(GetStats, 16);

static_assert(CGD_GET_BLOCK_SIZE == 0x40182a00, "CGD_GET_BLOCK_SIZE");
static_assert(CGD_START_BACKUP == 0x40102a01, "CGD_START_BACKUP");
static_assert(CGD_SNAPSHOT == 0x40102a02, "CGD_SNAPSHOT");
static_assert(CGD_GET_STATE == 0x40102a03, "CGD_GET_STATE");
static_assert(CGD_GET_AUTOMAP_STATE == 0x40102a04, "CGD_GET_AUTOMAP_STATE");
static_assert(CGD_NO_LOAD_FROM_AUTOMAP == 0x2a05, "CGD_NO_LOAD_FROM_AUTOMAP");
static_assert(CGD_NO_START_AUTOMAP == 0x2a06, "CGD_NO_START_AUTOMAP");
static_assert(CGD_LOAD_BLOCK_MAP == 0x40102a07, "CGD_LOAD_BLOCK_MAP");
static_assert(CGD_GET_AUTOMAP == 0x40102a08, "CGD_GET_AUTOMAP");
static_assert(CGD_GET_DIRTY_BLOCK == 0x40082a09, "CGD_GET_DIRTY_BLOCK");
static_assert(CGD_READ_BLOCKS == 0x40102a0a, "CGD_READ_BLOCKS");
static_assert(CGD_GET_VERSION_MAJOR == 0x40042a0c, "CGD_GET_VERSION_MAJOR");
static_assert(CGD_GET_VERSION_MINOR == 0x40042a0d, "CGD_GET_VERSION_MINOR");
static_assert(CGD_SYNC == 0x40042a0e, "CGD_SYNC");
static_assert(CGD_SHUTDOWN == 0x40042a0f, "CGD_SHUTDOWN");
static_assert(CGD_CMD_16 == 0x40042a10, "CGD_CMD_16");
static_assert(CGD_GET_STATS == 0x40102a11, "CGD_GET_STATS");

#endif
