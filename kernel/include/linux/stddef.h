#ifndef _LINUX_STDDEF_H
#define _LINUX_STDDEF_H
#include <linux/types.h>
#endif
