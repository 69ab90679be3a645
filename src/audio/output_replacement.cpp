#include "audio/output_replacement.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

namespace kelvo {

namespace {

constexpr char name_mark[] = ".kelvo-";
constexpr size_t random_letters = 6;
constexpr int create_attempts = 100;
constexpr size_t longest_name = 255;  // NAME_MAX on the file systems Linux knows

// Six letters no other run is likely to pick; the exclusive create settles the rest.
void random_suffix(char* at) {
    static constexpr char letters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[random_letters];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        timespec t{};
        clock_gettime(CLOCK_REALTIME, &t);
        auto seed = static_cast<unsigned long>(t.tv_nsec) ^ static_cast<unsigned long>(getpid());
        for (unsigned char& b : bytes) {
            seed = seed * 6364136223846793005ul + 1442695040888963407ul;
            b = static_cast<unsigned char>(seed >> 33);
        }
    }
    for (size_t i = 0; i < random_letters; ++i)
        at[i] = letters[bytes[i] % (sizeof letters - 1)];
}

// Puts ".out.wav.kelvo-" beside `target` into `name`, the name cut short when the whole would
// be too long; returns where the random letters go, or null when the path does not fit.
char* temporary_stem(const char* target, std::array<char, PATH_MAX>& name) {
    const char* const slash = std::strrchr(target, '/');
    const size_t base = slash ? static_cast<size_t>(slash + 1 - target) : 0;
    const size_t room = longest_name - 1 - (sizeof name_mark - 1) - random_letters;
    const size_t kept = std::min(std::strlen(target + base), room);
    const size_t length = base + 1 + kept + (sizeof name_mark - 1) + random_letters;
    if (length >= name.size())
        return nullptr;
    char* at = std::copy_n(target, base, name.data());
    *at++ = '.';
    at = std::copy_n(target + base, kept, at);
    at = std::copy_n(name_mark, sizeof name_mark - 1, at);
    at[random_letters] = '\0';
    return at;
}

// Puts the path to write into `target`, for `path` that may be a symbolic link; false for a
// dangling link or a path too long.
bool resolve(const char* path, std::array<char, PATH_MAX>& target) {
    struct stat st {};
    if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) {
        if (std::strlen(path) >= target.size())
            return false;
        std::strcpy(target.data(), path);
        return true;
    }
    return realpath(path, target.data()) != nullptr;
}

}  // namespace

output_route output_replacement::begin(const char* path) {
    discard();
    const size_t length = std::strlen(path);
    if (std::strcmp(path, "-") == 0 || length == 0 || path[length - 1] == '/' ||
        !resolve(path, target_))
        return output_route::in_place;
    struct stat st {};
    const bool exists = stat(target_.data(), &st) == 0;
    if (!exists && errno != ENOENT)
        return output_route::in_place;
    // Renaming would cut the other names off, and a stream or device cannot be taken back; a
    // file kelvo may not write is left to the open in place to refuse.
    if (exists && (!S_ISREG(st.st_mode) || st.st_nlink > 1 ||
                   faccessat(AT_FDCWD, target_.data(), W_OK, AT_EACCESS) != 0))
        return output_route::in_place;
    char* const letters = temporary_stem(target_.data(), temporary_);
    if (!letters)
        return output_route::in_place;
    for (int attempt = 0; attempt < create_attempts; ++attempt) {
        random_suffix(letters);
        const int fd = open(temporary_.data(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            if (exists) {
                // Best effort: only the owner of both, or root, may hand over the group.
                [[maybe_unused]] const int owned = fchown(fd, static_cast<uid_t>(-1), st.st_gid);
                [[maybe_unused]] const int moded = fchmod(fd, st.st_mode & 0777);
            }
            fd_ = fd;
            return output_route::replace;
        }
        if (errno == EEXIST)
            continue;
        temporary_[0] = '\0';
        // Writing in place on a full disk would destroy the old file and fail all the same.
        if (errno == ENOSPC || errno == EDQUOT)
            return output_route::fail;
        return output_route::in_place;
    }
    temporary_[0] = '\0';
    errno = EEXIST;
    return output_route::fail;
}

bool output_replacement::commit() {
    if (!temporary_[0])
        return true;
    const int fd = std::exchange(fd_, -1);
    if (close(fd) != 0 || std::rename(temporary_.data(), target_.data()) != 0) {
        const int reason = errno;
        discard();
        errno = reason;
        return false;
    }
    temporary_[0] = '\0';
    return true;
}

void output_replacement::discard() noexcept {
    if (fd_ >= 0)
        close(std::exchange(fd_, -1));
    if (temporary_[0])
        unlink(temporary_.data());
    temporary_[0] = '\0';
}

}  // namespace kelvo
