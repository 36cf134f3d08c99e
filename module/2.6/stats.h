/*
 * The statistics record of a backup session, shared with the agent.  It is
 * written to the kernel log when a started session closes and can be read
 * with CGD_GET_STATS.
 */
#ifndef _COWGUARD_STATS_H
#define _COWGUARD_STATS_H

struct StatsTime {
	long long tv_sec;
	long long tv_nsec;
};

struct Stats {
	unsigned int driverVerMajor;	/* left 0 */
	unsigned int driverVerMinor;	/* left 0 */
	unsigned int driverVerMinor2;	/* left 0 */
	unsigned int major;
	unsigned int minor;
	unsigned int state;
	unsigned int partitionStart;	/* first sector of the partition, low 32 bits */
	int blockSize;
	int blocksPerPage;
	unsigned int partitionSizeKB;
	unsigned int numBlocks;
	int maxVMPages;
	int vmPages;
	unsigned int maxCacheBlocks;
	int curAllocAMPages;
	int totalAllocPages;
	int curAllocPages;
	int totalAllocBRs;
	int curAllocBRs;
	int totalAllocCPs;
	int curAllocCPs;
	int peakAllocCPs;
	int totalCBs;
	int curCBs;
	int totalReadBlocks;
	int totalReadCBs;
	int totalCleanedCBs;
	int ioctlCount;
	struct StatsTime eTimeToFreeze;
	struct StatsTime eTimeFrozen;
};

static_assert(sizeof(struct Stats) == 144, "size of Stats");
static_assert(__builtin_offsetof(struct Stats, major) == 12, "Stats.major");
static_assert(__builtin_offsetof(struct Stats, state) == 20, "Stats.state");
static_assert(__builtin_offsetof(struct Stats, partitionStart) == 24, "Stats.partitionStart");
static_assert(__builtin_offsetof(struct Stats, partitionSizeKB) == 36, "Stats.partitionSizeKB");
static_assert(__builtin_offsetof(struct Stats, maxVMPages) == 44, "Stats.maxVMPages");
static_assert(__builtin_offsetof(struct Stats, maxCacheBlocks) == 52, "Stats.maxCacheBlocks");
static_assert(__builtin_offsetof(struct Stats, curAllocAMPages) == 56, "Stats.curAllocAMPages");
static_assert(__builtin_offsetof(struct Stats, totalAllocBRs) == 68, "Stats.totalAllocBRs");
static_assert(__builtin_offsetof(struct Stats, totalAllocCPs) == 76, "Stats.totalAllocCPs");
static_assert(__builtin_offsetof(struct Stats, totalCBs) == 88, "Stats.totalCBs");
static_assert(__builtin_offsetof(struct Stats, totalReadBlocks) == 96, "Stats.totalReadBlocks");
static_assert(__builtin_offsetof(struct Stats, totalCleanedCBs) == 104, "Stats.totalCleanedCBs");
static_assert(__builtin_offsetof(struct Stats, ioctlCount) == 108, "Stats.ioctlCount");
static_assert(__builtin_offsetof(struct Stats, eTimeToFreeze) == 112, "Stats.eTimeToFreeze");
static_assert(__builtin_offsetof(struct Stats, eTimeFrozen) == 128, "Stats.eTimeFrozen");

#endif
