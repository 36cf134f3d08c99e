#include <asm/bitops.h>
