#include "run_kelvo.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kelvo::test {

namespace {

// The child's streams go to files: no pipe can fill up and stall it.
std::string capture_path(const std::string& dir, const char* name) { return dir + "/" + name; }

[[noreturn]] void exec_child(const std::vector<std::string>& args, const run_options& o,
                             const std::string& out_path, const std::string& err_path) {
    const int in = open(o.stdin_path.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0)
        _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    close(in);
    close(out);
    close(err);
    setenv("LV2_PATH", o.lv2_path.c_str(), 1);
    for (const auto& [key, value] : o.env)
        setenv(key.c_str(), value.c_str(), 1);
    if (o.file_size_limit >= 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{static_cast<rlim_t>(o.file_size_limit),
                           static_cast<rlim_t>(o.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv{const_cast<char*>(o.argv0.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(KELVO_PATH, argv.data());
    _exit(127);
}

}  // namespace

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvo-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    // A test may leave a read-only folder behind; make it removable first.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream in{path, std::ios::binary};
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string test_uri(const std::string& name) { return "http://kelvo.test/plugins/" + name; }

result run_kelvo(const std::vector<std::string>& args, const run_options& options) {
    const temp_dir streams;
    const std::string out_path = capture_path(streams.path(), "stdout");
    const std::string err_path = capture_path(streams.path(), "stderr");
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0)
        exec_child(args, options, out_path, err_path);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
    }
    result r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}

}  // namespace kelvo::test
