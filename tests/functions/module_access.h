// Reads and writes of the module's shared words the way the module makes
// them: session states through their helpers, activeSession under
// activeSessionUsers, other words as single atomic loads.
#pragma once
#include <thread>

#include "cgdlib.h"

inline u32 getStateOf(struct Backup* b) { return getState(b); }
inline u32 getStateOf(struct AutoMapSession* ams) { return amsState(ams); }
inline void setStateOf(struct Backup* b, u32 state) { setState(b, state); }
inline void setStateOf(struct AutoMapSession* ams, u32 state) { setAMSState(ams, state); }

// A word that kernel or module code changes on other threads.
template <class T>
T LoadOnce(const T& x) {
  return __atomic_load_n(&x, __ATOMIC_ACQUIRE);
}

// Makes b the active session (nullptr: none), as the start and the close do.
inline void PublishSession(struct Backup* b) {
  down_write(&activeSessionUsers);
  activeSession = b;
  up_write(&activeSessionUsers);
}

inline struct Backup* ActiveSession() {
  down_read(&activeSessionUsers);
  struct Backup* b = activeSession;
  up_read(&activeSessionUsers);
  return b;
}

// Starts a session with the module's own start, on a task of its own.  The
// start takes kbackupd's first wake-up unit while holding bSem and the close
// gives one back while holding bSem; taken and given back by the one task,
// the wake-up semaphore would look like a lock to the lock checker and the
// two orders like an inversion.  Given back by another task, it is seen for
// the counter it is.
inline int StartOnOwnTask(struct Backup* b, dev_t dev, u32 totalBlocks, u32 maxCacheBlocks) {
  int status = -1;
  std::thread t([&] { status = ioctlStartBackup(b, dev, totalBlocks, maxCacheBlocks); });
  t.join();
  return status;
}
