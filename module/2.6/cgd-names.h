/*
 * The names and meanings of the control device's statuses and session
 * states, for user space: the agent and the cowguard command print them
 * from these tables.  Plain C, beside the shared header whose numbers
 * they name; the module itself does not use them.
 */
#ifndef CGD_NAMES_H
#define CGD_NAMES_H

#include "cowguard.h"

struct CgdName {
	long value;
	const char *name;
	const char *meaning;
};

static const struct CgdName cgdStatusNames[] = {
	{CGD_OK, "CGD_OK",
	  "success"},
	{CGD_ERR_NOT_READY, "CGD_ERR_NOT_READY",
	  "the module has not finished loading, or the device has no request queue"},
	{CGD_ERR_INVALID, "CGD_ERR_INVALID",
	  "an argument is out of range, or the session is not in the state the command needs"},
	{CGD_ERR_UNAVAILABLE, "CGD_ERR_UNAVAILABLE",
	  "the module is being unloaded, the device's block size is unusable, or the session "
	  "left the reading state while unwanted preserved blocks were dropped"},
	{CGD_ERR_BAD_COMMAND, "CGD_ERR_BAD_COMMAND",
	  "the module does not know the command"},
	{CGD_ERR_NO_MEMORY, "CGD_ERR_NO_MEMORY",
	  "the module could not allocate memory"},
	{CGD_ERR_COPY_IN, "CGD_ERR_COPY_IN",
	  "a record or data could not be read from the agent's memory"},
	{CGD_ERR_COPY_OUT, "CGD_ERR_COPY_OUT",
	  "a record or data could not be written to the agent's memory"},
	{CGD_ERR_NO_DEVICE, "CGD_ERR_NO_DEVICE",
	  "the device has no mounted file system"},
	{CGD_ERR_BACKUP_OPEN, "CGD_ERR_BACKUP_OPEN",
	  "another backup holds the module"},
	{CGD_ERR_ALREADY_STARTED, "CGD_ERR_ALREADY_STARTED",
	  "this session has already been started"},
	{CGD_ERR_IO, "CGD_ERR_IO",
	  "an I/O error while reading blocks: some blocks could not be read"},
};

static const struct CgdName cgdStateNames[] = {
	{CGD_STATE_IDLE, "CGD_STATE_IDLE",
	  "open, no backup started"},
	{CGD_STATE_STARTING, "CGD_STATE_STARTING",
	  "start under way, or start failed"},
	{CGD_STATE_STARTED, "CGD_STATE_STARTED",
	  "backup started, no snapshot yet"},
	{CGD_STATE_SNAPPED, "CGD_STATE_SNAPPED",
	  "snapshot taken, wanted-block map not loaded"},
	{CGD_STATE_LOADING_MAP, "CGD_STATE_LOADING_MAP",
	  "the wanted-block map is being loaded"},
	{CGD_STATE_READING, "CGD_STATE_READING",
	  "wanted-block map loaded, blocks being read"},
	{CGD_STATE_CLOSING, "CGD_STATE_CLOSING",
	  "the session is being torn down"},
	{CGD_STATE_READ_ERROR, "CGD_STATE_READ_ERROR",
	  "an old block could not be read before a held write"},
	{CGD_STATE_MAP_ERROR, "CGD_STATE_MAP_ERROR",
	  "loading the wanted-block map failed"},
	{CGD_STATE_CACHE_ERROR, "CGD_STATE_CACHE_ERROR",
	  "no memory for a preserved block, or the cache limit was reached"},
	{CGD_STATE_REFUSED, "CGD_STATE_REFUSED",
	  "the start was refused: another backup holds the module"},
	{CGD_STATE_HOOK_ERROR, "CGD_STATE_HOOK_ERROR",
	  "the write hook could not allocate a held-write record"},
};

#define CGD_NAME_COUNT(table) (sizeof(table) / sizeof((table)[0]))

/* The entry of value in table, or NULL. */
static inline const struct CgdName *cgdFindName(const struct CgdName *table, unsigned long count, long value)
{
	unsigned long i;

	for (i = 0; i < count; i++)
		if (table[i].value == value)
			return &table[i];
	return 0;
}

#endif
