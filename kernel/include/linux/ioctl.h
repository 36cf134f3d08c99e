#include <asm/ioctl.h>
