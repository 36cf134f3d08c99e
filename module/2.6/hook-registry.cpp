/*
 * The registry of hooked request queues.
 *
 * For every request queue that carries one of the module's make-request
 * hooks the registry keeps the function the queue had before it was hooked
 * (realMRF) and the devices (partitions) on that queue for which a hook is
 * wanted.  The hooks ask the registry where to pass bios on; removing the
 * last device of a queue gives the queue its real function back.
 *
 * Locking: queueListHead is guarded by the counted-users protocol of
 * queueListUsers/queueListUsersLock (see cgdlib.h).  Readers enter with
 * enterQueueListReader() and walk the list without a lock; writers drain
 * the readers with waitForQueueListUsers() and then hold queueListUsersLock
 * with interrupts off while they link, unlink, free and swap functions:
 * they never allocate or sleep there.  Order: queueListUsersLock -> the
 * automap table (entered as a reader) -> a queue's own queue_lock, under
 * which alone a queue's make_request_fn is changed.  The block layer reads
 * the pointer without that lock, so it is stored whole, with xchg().
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/kdev_t.h>
#include <linux/compiler.h>
#include <asm/bug.h>

#include "cgdlib.h"

/* Enters the registry as a reader; waits only while a writer holds it drained. */
void enterQueueListReader(void)
{
	enterUsers(&queueListUsers, &queueListUsersLock);
}

void leaveQueueListReader(void)
{
	leaveUsers(&queueListUsers);
}

/*
 * Drains the registry's readers and returns holding queueListUsersLock
 * (interrupts saved into *flags).  The caller must not sleep until it
 * releases the lock.
 */
void waitForQueueListUsers(unsigned long *flags)
{
	drainUsers(&queueListUsers, &queueListUsersLock, flags);
}

/* Caller is a registry reader or writer.  The node of q, or NULL. */
struct QueueList *__findQueueNode(request_queue_t *q)
{
	struct QueueList *ql;

	list_for_each_entry(ql, &queueListHead, list) {
		if (ql->rQueue == q)
			return ql;
	}
	return NULL;
}

/*
 * The queue on which kdev is registered, or NULL.  A queue pointer stays
 * valid for as long as its disk exists, which outlives every open of it.
 */
request_queue_t *queueOfDevice(dev_t kdev)
{
	struct QueueList *ql;
	request_queue_t *q = NULL;

	enterQueueListReader();
	ql = __findQueueOfDev(kdev);
	if (ql)
		q = ql->rQueue;
	leaveQueueListReader();
	return q;
}

/* Caller is a registry reader or writer.  The node whose devices include kdev, or NULL. */
struct QueueList *__findQueueOfDev(dev_t kdev)
{
	struct QueueList *ql;

	list_for_each_entry(ql, &queueListHead, list) {
		if (isInDevList(ql, kdev))
			return ql;
	}
	return NULL;
}

/*
 * Caller is a registry reader or writer.  Calls fn(kdev, arg) for each
 * device registered on ql, in order; fn must not leave the registry.
 */
void __forEachQueueDev(struct QueueList *ql, void (*fn)(dev_t kdev, void *arg), void *arg)
{
	struct DevList *dl;

	list_for_each_entry(dl, &ql->devList, list)
		fn(dl->kdev, arg);
}

/* Caller is a registry reader or writer. */
int isInDevList(struct QueueList *queueList, dev_t kdev)
{
	struct DevList *dl;

	if (!queueList)
		return 0;
	list_for_each_entry(dl, &queueList->devList, list) {
		if (dl->kdev == kdev)
			return 1;
	}
	return 0;
}

/* Caller is a registry writer. */
int addDevToList(struct QueueList *queueList, dev_t kdev, struct DevList *newNode)
{
	if (!queueList || isInDevList(queueList, kdev))
		return 0;
	newNode->kdev = kdev;
	list_add_tail(&newNode->list, &queueList->devList);
	return 1;
}

int isInQueueList(request_queue_t *q, dev_t kdev)
{
	int found;

	if (!q)
		return 0;
	enterQueueListReader();
	found = isInDevList(__findQueueNode(q), kdev);
	leaveQueueListReader();
	return found;
}

/*
 * Registers kdev on q, creating q's node (which records the queue's
 * current function as its real one) when q has none.  May sleep before
 * the writer section; not under it.
 */
void addQueueToList(request_queue_t *q, dev_t kdev)
{
	struct QueueList *newQL, *ql;
	struct DevList *newDL;
	unsigned long flags, qflags;
	int devLinked;

	if (!q) {
		printk(KERN_ERR "%s: Could not add queue to list (null).%s", __func__, "\n");
		return;
	}
	/* Registration can happen on the write path: no I/O, retried until given. */
	newQL = (struct QueueList *)allocUntilGiven(sizeof(*newQL));
	newDL = (struct DevList *)allocUntilGiven(sizeof(*newDL));

	waitForQueueListUsers(&flags);
	ql = __findQueueNode(q);
	if (ql) {
		devLinked = addDevToList(ql, kdev, newDL);
	} else {
		cgdLockRequestQueue(q, &qflags);
		newQL->rQueue = q;
		newQL->realMRF = q->make_request_fn;
		cgdUnlockRequestQueue(q, &qflags);
		INIT_LIST_HEAD(&newQL->devList);
		devLinked = addDevToList(newQL, kdev, newDL);
		list_add_tail(&newQL->list, &queueListHead);
		newQL = NULL;
	}
	spin_unlock_irqrestore(&queueListUsersLock, flags);

	if (newQL)
		kfree(newQL);
	if (!devLinked)
		kfree(newDL);
}

/*
 * Registers the backup's device and installs newMRF on its queue.
 * Returns 0, or 1 when the device has no request queue (the caller
 * reports it).  May sleep.
 *
 * The function is stored inside a registry writer section, and only while
 * the device is still registered: a concurrent unSetMRFDEV that removed
 * the queue's node between the registration and the store would otherwise
 * leave a hook on a queue without a node, and the hook, asking for the
 * real function, would be handed itself.
 */
int setMRF(struct Backup *b, make_request_fn *newMRF)
{
	request_queue_t *q = getRequestQueue(&b->diskInfo);
	dev_t kdev = b->diskInfo.kdev;
	unsigned long flags, qflags;
	int installed;

	if (!q)
		return 1;
	do {
		if (!isInQueueList(q, kdev))
			addQueueToList(q, kdev);
		waitForQueueListUsers(&flags);
		installed = isInDevList(__findQueueNode(q), kdev);
		if (installed) {
			cgdLockRequestQueue(q, &qflags);
			(void)xchg(&q->make_request_fn, newMRF);
			cgdUnlockRequestQueue(q, &qflags);
		}
		spin_unlock_irqrestore(&queueListUsersLock, flags);
	} while (!installed);
	return 0;
}

/*
 * The function to pass q's bios on to: the real function its node
 * recorded, or, for a queue without a node, the function it has now (its
 * real one once the hook was removed).  Runs in the hooks; never waits.
 */
make_request_fn *getRealMRF(request_queue_t *q)
{
	struct QueueList *ql;
	make_request_fn *fn = NULL;
	unsigned long qflags;

	if (!q) {
		printk(KERN_WARNING "%s: Can't get MRF on NULL queue.%s", __func__, "\n");
		return NULL;
	}
	enterQueueListReader();
	list_for_each_entry(ql, &queueListHead, list) {
		if (ql->rQueue == q && ql->realMRF) {
			fn = ql->realMRF;
			break;
		}
	}
	if (!fn) {
		cgdLockRequestQueue(q, &qflags);
		fn = q->make_request_fn;
		cgdUnlockRequestQueue(q, &qflags);
	}
	leaveQueueListReader();
	return fn;
}

/*
 * Caller is a registry writer.  Unlinks and frees kdev's entries of ql;
 * returns 1 when ql has no device left.
 */
static int __removeDev(struct QueueList *ql, dev_t kdev)
{
	struct DevList *dl, *tmp;

	list_for_each_entry_safe(dl, tmp, &ql->devList, list) {
		if (dl->kdev == kdev) {
			list_del(&dl->list);
			kfree(dl);
		}
	}
	return list_empty(&ql->devList);
}

/*
 * Unregisters one device; the last device of a queue takes the queue's
 * node with it and gives the queue its real function back.
 */
void unSetMRFDEV(struct DiskInfo *diskInfo)
{
	request_queue_t *q = getRequestQueue(diskInfo);
	make_request_fn *realFn = NULL;
	struct QueueList *ql;
	unsigned long flags, qflags;

	if (!q) {
		printk(KERN_WARNING "%s: Unable to get request queue for MAJOR=%d, MINOR=%d while unsetting MRF.",
		       "unSetMRFDEV", MAJOR(diskInfo->kdev), MINOR(diskInfo->kdev));
		return;
	}
	waitForQueueListUsers(&flags);
	ql = __findQueueNode(q);
	if (ql && __removeDev(ql, diskInfo->kdev)) {
		realFn = ql->realMRF;
		list_del(&ql->list);
		kfree(ql);
	}
	cgdLockRequestQueue(q, &qflags);
	if (realFn && q->make_request_fn != realFn)
		(void)xchg(&q->make_request_fn, realFn);
	cgdUnlockRequestQueue(q, &qflags);
	spin_unlock_irqrestore(&queueListUsersLock, flags);
}

void unSetMRFAMS(struct AutoMapSession *ams)
{
	unSetMRFDEV(&ams->diskInfo);
}

/*
 * Caller is a registry writer.  Marks the session of every device of ql
 * not in sync and frees the device entries.
 */
static void __dropQueueDevs(struct QueueList *ql)
{
	struct DevList *dl, *tmp;

	__unsyncQueueAMS(ql);
	list_for_each_entry_safe(dl, tmp, &ql->devList, list) {
		list_del(&dl->list);
		kfree(dl);
	}
}

/*
 * Takes the whole of q out of the registry: every automap session on it
 * stops tracking and the queue gets its real function back.
 */
void unsetQueueMRFAMS(request_queue_t *q)
{
	struct QueueList *ql;
	unsigned long flags, qflags;

	if (!q) {
		printk(KERN_ERR "%s: Could not unset MRFS for request queue because queue was null.%s",
		       __func__, "\n");
		return;
	}
	waitForQueueListUsers(&flags);
	ql = __findQueueNode(q);
	if (!ql) {
		spin_unlock_irqrestore(&queueListUsersLock, flags);
		return;
	}
	__dropQueueDevs(ql);
	if (!ql->realMRF) {
		printk(KERN_CRIT "%s: Could not find real make request fn for queue.%s", __func__, "\n");
		BUG();
	}
	cgdLockRequestQueue(q, &qflags);
	(void)xchg(&q->make_request_fn, ql->realMRF);
	cgdUnlockRequestQueue(q, &qflags);
	list_del(&ql->list);
	kfree(ql);
	spin_unlock_irqrestore(&queueListUsersLock, flags);
}
