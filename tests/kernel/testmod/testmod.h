/* ioctl commands of the test module's device: each answers one counter. */
#ifndef TESTMOD_H
#define TESTMOD_H

#define TESTMOD_LOADS 1		/* loads counted by this mapping's statics */
#define TESTMOD_OPENS 2		/* opens seen */
#define TESTMOD_RELEASES 3	/* releases seen */
#define TESTMOD_REFS 4		/* module references held */

#endif
