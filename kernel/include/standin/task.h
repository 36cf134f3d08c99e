// Tasks of the stand-in as tests see them.
#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

namespace standin::task {

// Delivers sig to the task with this pid; 0, or -ESRCH.
int send_signal(pid_t pid, int sig);
// Pids of kernel threads (kernel_thread) that have not ended.
std::vector<pid_t> kernel_threads();
// Waits up to timeout_ms for every kernel thread to end; true if they did.
bool wait_kernel_threads(int timeout_ms);
// Name of a task ("" when there is none).
std::string comm(pid_t pid);

}  // namespace standin::task
