// Preloaded into the program by tests: at exit, after everything else has been released,
// writes the descriptors above 2 that are still open to the file named by
// KELVO_TEST_FD_REPORT.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[gnu::destructor]] void report_open_descriptors() {
    const char* report = std::getenv("KELVO_TEST_FD_REPORT");
    if (!report)
        return;
    DIR* fds = opendir("/proc/self/fd");
    if (!fds)
        return;
    char list[4096] = "";
    size_t used = 0;
    for (const dirent* e; (e = readdir(fds));) {
        const int fd = std::atoi(e->d_name);
        if (e->d_name[0] == '.' || fd <= 2 || fd == dirfd(fds))
            continue;
        char target[512] = "";
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t n = readlink(link, target, sizeof target - 1);
        target[n > 0 ? n : 0] = '\0';
        const int w = std::snprintf(list + used, sizeof list - used, "%d %s\n", fd, target);
        if (w > 0 && used + static_cast<size_t>(w) < sizeof list)
            used += static_cast<size_t>(w);
    }
    closedir(fds);
    const int out = open(report, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out >= 0) {
        if (write(out, list, used) < 0) {
        }
        close(out);
    }
}

}  // namespace
