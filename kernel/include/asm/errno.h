#include <linux/errno.h>
