#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kelvo::test {

/// What one run of the built program left behind.
struct result {
    int status = -1;  ///< exit status, or 128 + signal number
    std::string out;
    std::string err;
    std::string open_fds;  ///< descriptors above 2 still open at exit, with check_fds
};

/// Options for one run beyond its arguments.
struct run_options {
    std::string program = KELVO_PATH;  ///< the binary to run
    std::string lv2_path = KELVO_TEST_LV2_PATH;  ///< the only LV2_PATH it sees; "": unset
    std::vector<std::pair<std::string, std::string>> env;  ///< extra variables
    std::string argv0 = "kelvo";
    std::string stdin_path = "/dev/null";
    long file_size_limit = -1;  ///< RLIMIT_FSIZE in bytes, with SIGXFSZ ignored
    bool check_fds = false;     ///< report the descriptors left open at exit
    bool library_faults = false;  ///< preload the shim that fails lilv and libsndfile calls
    /// A command that runs the program: it gets the program's path and arguments after its
    /// own, and must start the program with argv[0] "kelvo".
    std::vector<std::string> wrapper;
};

/// Options that run the built kelvo-info, as "kelvo-info", instead of kelvo.
run_options info_options();

/// Exit status of a run that valgrind found faults in (see KELVO_TEST_VALGRIND).
constexpr int valgrind_error_status = 86;

/// Runs the built kelvo with `args`, capturing its status and both output streams.
result run_kelvo(const std::vector<std::string>& args, const run_options& options = {});

/// The URI of a plugin of the test bundle.
std::string test_uri(const std::string& name);

/// A fresh empty folder for one test, removed with its files when the object goes away.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    /// The path of `name` inside the folder.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

/// The whole content of a file, or "" when it cannot be read.
std::string read_file(const std::string& path);

/// True when `text` is exactly the two lines of a timing report.
bool is_timing_report(const std::string& text);

/// True when a file exists at `path`.
bool file_exists(const std::string& path);

}  // namespace kelvo::test
