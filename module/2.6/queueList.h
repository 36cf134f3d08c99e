/*
 * The registry of request queues that carry one of the module's hooks.
 */
#ifndef _COWGUARD_QUEUELIST_H
#define _COWGUARD_QUEUELIST_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/blkdev.h>

/*
 * One hooked request queue: its make-request function as the module found
 * it and the devices on it for which a hook is wanted.  Nodes live on
 * queueListHead; protected by the counted-users protocol of queueListUsers
 * (readers walk, writers drain and hold queueListUsersLock with irqs off).
 */
struct QueueList {
	request_queue_t *rQueue;
	make_request_fn *realMRF;
	struct list_head devList;	/* of struct DevList */
	struct list_head list;		/* on queueListHead */
};

#endif
