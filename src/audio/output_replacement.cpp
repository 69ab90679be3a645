#include "audio/output_replacement.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>

namespace kelvo {

namespace {

constexpr char name_mark[] = ".kelvo-";
constexpr size_t random_letters = 6;
constexpr int create_attempts = 100;
constexpr size_t longest_name = 255;  // NAME_MAX on the file systems Linux knows

// Six letters no other run is likely to pick; the exclusive create settles the rest.
std::string random_suffix() {
    static constexpr char letters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[random_letters];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        timespec t{};
        clock_gettime(CLOCK_REALTIME, &t);
        auto seed = static_cast<unsigned long>(t.tv_nsec) ^ static_cast<unsigned long>(getpid());
        for (unsigned char& b : bytes) {
            b = static_cast<unsigned char>(seed);
            seed = seed * 6364136223846793005ul + 1442695040888963407ul;
            seed ^= seed >> 29;
        }
    }
    std::string suffix;
    for (const unsigned char b : bytes)
        suffix += letters[b % (sizeof letters - 1)];
    return suffix;
}

// ".out.wav.kelvo-" beside `target`, the name cut short when the whole would be too long.
std::string temporary_stem(const std::string& target) {
    const size_t slash = target.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    const size_t room = longest_name - 1 - (sizeof name_mark - 1) - random_letters;
    return target.substr(0, base) + "." + target.substr(base, room) + name_mark;
}

// The path to write, for `path` that may be a symbolic link; empty for a dangling one.
std::string resolve(const char* path) {
    struct stat st {};
    if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    const std::unique_ptr<char, decltype(&std::free)> real{realpath(path, nullptr), &std::free};
    return real ? std::string{real.get()} : std::string{};
}

}  // namespace

output_route output_replacement::begin(const char* path) {
    discard();
    const size_t length = std::strlen(path);
    if (std::strcmp(path, "-") == 0 || length == 0 || path[length - 1] == '/')
        return output_route::in_place;
    const std::string target = resolve(path);
    if (target.empty())
        return output_route::in_place;
    struct stat st {};
    const bool exists = stat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        return output_route::in_place;
    // Renaming would cut the other names off, and a stream or device cannot be taken back; a
    // file kelvo may not write is left to the open in place to refuse.
    if (exists && (!S_ISREG(st.st_mode) || st.st_nlink > 1 ||
                   faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0))
        return output_route::in_place;
    const std::string stem = temporary_stem(target);
    for (int attempt = 0; attempt < create_attempts; ++attempt) {
        std::string name = stem + random_suffix();
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            if (exists) {
                // Best effort: only the owner of both, or root, may hand over the group.
                [[maybe_unused]] const int owned = fchown(fd, static_cast<uid_t>(-1), st.st_gid);
                [[maybe_unused]] const int moded = fchmod(fd, st.st_mode & 0777);
            }
            fd_ = fd;
            temporary_ = std::move(name);
            target_ = target;
            return output_route::replace;
        }
        if (errno == EEXIST)
            continue;
        // Writing in place on a full disk would destroy the old file and fail all the same.
        if (errno == ENOSPC || errno == EDQUOT)
            return output_route::fail;
        return output_route::in_place;
    }
    errno = EEXIST;
    return output_route::fail;
}

bool output_replacement::commit() {
    if (temporary_.empty())
        return true;
    const int fd = std::exchange(fd_, -1);
    if (close(fd) != 0 || rename(temporary_.c_str(), target_.c_str()) != 0) {
        const int reason = errno;
        discard();
        errno = reason;
        return false;
    }
    temporary_.clear();
    return true;
}

void output_replacement::discard() noexcept {
    if (fd_ >= 0)
        close(std::exchange(fd_, -1));
    if (!temporary_.empty())
        unlink(temporary_.c_str());
    temporary_.clear();
}

}  // namespace kelvo
