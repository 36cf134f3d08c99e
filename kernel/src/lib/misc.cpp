// Time and randomness.
#include <sys/random.h>
#include <time.h>

#include <cerrno>
#include <cstddef>

#include "internal.h"

#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/random.h>
#include <linux/time.h>

extern "C" {

struct timespec current_kernel_time(void) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  while (ts.tv_nsec >= NSEC_PER_SEC) {
    ts.tv_nsec -= NSEC_PER_SEC;
    ts.tv_sec++;
  }
  while (ts.tv_nsec < 0) {
    ts.tv_nsec += NSEC_PER_SEC;
    ts.tv_sec--;
  }
  return ts;
}
EXPORT_SYMBOL(current_kernel_time);

void get_random_bytes(void* buf, int nbytes) {
  auto* p = static_cast<unsigned char*>(buf);
  std::size_t left = nbytes > 0 ? static_cast<std::size_t>(nbytes) : 0;
  while (left) {
    ssize_t n = getrandom(p, left, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      panic("get_random_bytes: no random source");
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}
EXPORT_SYMBOL(get_random_bytes);

}  // extern "C"
