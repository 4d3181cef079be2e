/* Stands in for the C library's <sys/single_threaded.h> in our builds.

   libstdc++'s headers read __libc_single_threaded (a C library 2.32 symbol)
   wherever this header exists, to skip atomic reference counting in a
   process that has no second thread. That one read would keep the module
   from loading on a board with an older C library. Here the flag reads as a
   constant 0, "other threads may exist", which is always a correct answer:
   reference counts then always use atomic updates. */
#ifndef _SYS_SINGLE_THREADED_H
#define _SYS_SINGLE_THREADED_H

#ifdef __cplusplus
static constexpr char plor_libc_single_threaded = 0;
#else
static const char plor_libc_single_threaded = 0;
#endif
#define __libc_single_threaded plor_libc_single_threaded

#endif
