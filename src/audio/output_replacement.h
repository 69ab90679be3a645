#pragma once

#include <limits.h>

#include <array>

namespace kelvo {

/// How an output path is written.
enum class output_route {
    replace,   ///< through a temporary file beside it, renamed over it once all went well
    in_place,  ///< opened and written where it is, as a stream or a file with other names is
    fail,      ///< neither: errno says why
};

/// The temporary file that takes the output path's place only when the run has succeeded, so
/// that a failed or interrupted run leaves the path as it was. Removed unless committed.
class output_replacement {
public:
    output_replacement() = default;
    output_replacement(const output_replacement&) = delete;
    output_replacement& operator=(const output_replacement&) = delete;
    ~output_replacement() { discard(); }

    /// Decides how `path` is written and, to replace it, creates the temporary file
    /// exclusively beside the file it replaces (a symbolic link's target), with the permission
    /// bits a plain create gives or those of the file it replaces. Allocates nothing.
    output_route begin(const char* path);

    /// The temporary file's descriptor, or -1.
    int descriptor() const noexcept { return fd_; }

    /// The temporary file's path, or null when there is none.
    const char* temporary_path() const noexcept {
        return temporary_[0] ? temporary_.data() : nullptr;
    }

    /// Closes the temporary file and renames it over the path; false, with errno set and the
    /// temporary file removed, when either fails. True when there is nothing to rename.
    bool commit();

    /// Closes and removes the temporary file, if any.
    void discard() noexcept;

private:
    int fd_ = -1;
    std::array<char, PATH_MAX> temporary_{};  ///< empty when there is none
    std::array<char, PATH_MAX> target_{};     ///< what the temporary file replaces
};

}  // namespace kelvo
