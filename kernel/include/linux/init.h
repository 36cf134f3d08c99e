#include <linux/compiler.h>
