// How many file descriptors this process has open (Linux), for tests that
// check nothing is left open.
#pragma once

#include <dirent.h>

inline int open_descriptors() {
    int n = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.') ++n;
        closedir(dir);
    }
    return n - 1; // the directory's own descriptor
}
