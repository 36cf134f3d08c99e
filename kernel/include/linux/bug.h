#include <asm/bug.h>
