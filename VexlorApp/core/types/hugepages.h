#ifndef HUGEPAGES_H
#define HUGEPAGES_H

// The pictures of a job are large blocks (bands of a full-table picture,
// decoded images, the engraver job itself), and every fresh page of them costs
// the kernel a fault and a clearing. In pages of 2 MiB instead of 4 KiB a
// full-table photo goes through in about a quarter less time. The C library
// asks the kernel for huge pages for its large blocks when its tunable
// "glibc.malloc.hugetlb" is 1, and reads its tunables only when a program
// starts: so a program that finds the tunable unset sets it and starts itself
// once more, with the same process number, arguments and open files. A value
// the user set is kept, 0 included; where the kernel offers no huge pages the
// setting changes nothing. Call first thing in main().

#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace Vexlor {

inline void restartWithHugePages(char *argv[])
{
#ifdef __GLIBC__
    static const char name[] = "GLIBC_TUNABLES";
    static const char tunable[] = "glibc.malloc.hugetlb";
    const char *current = std::getenv(name);
    if (current && std::strstr(current, tunable))
        return;
    // First, then the user's own tunables, if any.
    std::string value = std::string(tunable) + "=1";
    if (current && *current)
        value += std::string(":") + current;
    // The program's own file by its name, so that the process keeps its name
    // (the system names a process after the file it was started from).
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0 || length >= ssize_t(sizeof path - 1))
        return;
    path[length] = '\0';
    if (::setenv(name, value.c_str(), 1) != 0)
        return;
    ::execv(path, argv);
    // Not restarted: the program goes on as it is; its children get the setting.
#else
    (void)argv;
#endif
}

} // namespace Vexlor

#endif // HUGEPAGES_H
