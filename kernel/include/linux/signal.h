#ifndef _LINUX_SIGNAL_H
#define _LINUX_SIGNAL_H

/* Same numbers as user space; skipped when those came first. */
#ifndef SIGHUP
#define SIGHUP 1
#define SIGINT 2
#define SIGQUIT 3
#define SIGILL 4
#define SIGTRAP 5
#define SIGABRT 6
#define SIGBUS 7
#define SIGFPE 8
#define SIGKILL 9
#define SIGUSR1 10
#define SIGSEGV 11
#define SIGUSR2 12
#define SIGPIPE 13
#define SIGALRM 14
#define SIGTERM 15
#define SIGCHLD 17
#define SIGCONT 18
#define SIGSTOP 19
#endif
#ifndef _NSIG
#define _NSIG 64
#endif

#endif
