#pragma once
// While TZ is unset, glibc looks at /etc/localtime again on every mktime(), and libzip calls
// mktime() for each entry it reads: growing a backup archive of 20,000 entries would stat() that
// file 100,000 times. Naming the same zone explicitly, before any thread starts, keeps every
// answer (Qt reads ":/etc/localtime" as the system zone too) and drops the lookups.

#include <cstdlib>

inline void PinLocalTimeZone() {
    ::setenv("TZ", ":/etc/localtime", 0);
}
