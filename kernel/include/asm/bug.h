#ifndef _ASM_BUG_H
#define _ASM_BUG_H

#include <linux/compiler.h>

__KERNEL_BEGIN_DECLS
/* Stops execution: "kernel BUG at file:line!" is logged and the run aborts. */
NORET_TYPE void __bug(const char *file, int line, const char *func) ATTRIB_NORET;
/* Logs a warning with the site and a stack trace, then returns. */
void __warn_on(const char *file, int line, const char *func);
__KERNEL_END_DECLS

#define BUG() __bug(__FILE__, __LINE__, __func__)
#define BUG_ON(condition) do { if (unlikely((condition) != 0)) BUG(); } while (0)
#define WARN_ON(condition) do { if (unlikely((condition) != 0)) __warn_on(__FILE__, __LINE__, __func__); } while (0)

#endif
