#include "run_kelvo.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kelvo::test {

namespace {

// The child's streams go to files: no pipe can fill up and stall it.
std::string capture_path(const std::string& dir, const char* name) { return dir + "/" + name; }

// Set in the environment of the test binary, runs every program under valgrind's memcheck.
bool under_valgrind() {
    const char* v = std::getenv("KELVO_TEST_VALGRIND");
    return v && *v;
}

// The command line that starts the program: directly, inside the test's wrapper, or under
// valgrind, which keeps argv[0] as given when it finds the program through PATH.
std::vector<std::string> command(const std::vector<std::string>& args, const run_options& o,
                                 const std::string& dir) {
    std::vector<std::string> cmd;
    if (!o.wrapper.empty()) {
        cmd = o.wrapper;
        cmd.push_back(o.program);
    } else if (under_valgrind()) {
        cmd = {"valgrind", "--quiet", "--leak-check=full", "--errors-for-leak-kinds=definite",
               "--error-exitcode=" + std::to_string(valgrind_error_status),
               "--log-file=" + dir + "/valgrind.log", o.argv0};
    } else {
        cmd = {o.argv0};  // exec'd as o.program
    }
    cmd.insert(cmd.end(), args.begin(), args.end());
    return cmd;
}

[[noreturn]] void exec_child(const std::vector<std::string>& cmd, const run_options& o,
                             const std::string& dir) {
    const int in = open(o.stdin_path.c_str(), O_RDONLY);
    const int out = open(capture_path(dir, "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(capture_path(dir, "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0)
        _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    // Nothing of the test binary's is inherited, so whatever is open at exit is the program's.
    close_range(3, ~0u, 0);
    if (o.lv2_path.empty())
        unsetenv("LV2_PATH");
    else
        setenv("LV2_PATH", o.lv2_path.c_str(), 1);
    for (const auto& [key, value] : o.env)
        setenv(key.c_str(), value.c_str(), 1);
    std::string preload;
    if (o.check_fds) {
        preload = KELVO_FD_REPORT_LIB;
        setenv("KELVO_TEST_FD_REPORT", capture_path(dir, "fds").c_str(), 1);
    }
    if (o.library_faults)
        preload += std::string(preload.empty() ? "" : ":") + KELVO_LIBRARY_FAULTS_LIB;
    if (!preload.empty())
        setenv("LD_PRELOAD", preload.c_str(), 1);
    if (under_valgrind()) {
        const std::string bin = dir + "/bin";
        mkdir(bin.c_str(), 0700);
        if (symlink(o.program.c_str(), (bin + "/" + o.argv0).c_str()) != 0)
            _exit(126);
        const char* path = std::getenv("PATH");
        setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    }
    // The crash tests end the program by SIGSEGV and SIGABRT on purpose: no core files.
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    if (o.file_size_limit >= 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{static_cast<rlim_t>(o.file_size_limit),
                           static_cast<rlim_t>(o.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv;
    for (const std::string& a : cmd)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (o.wrapper.empty() && !under_valgrind())
        execv(o.program.c_str(), argv.data());
    else
        execvp(argv[0], argv.data());
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

namespace {

// One "LABEL%g s\n" line at `pos`; moves `pos` past it.
bool take_seconds_line(const std::string& text, size_t& pos, const std::string& label) {
    if (text.compare(pos, label.size(), label) != 0)
        return false;
    const char* const number = text.c_str() + pos + label.size();
    char* end = nullptr;
    const double seconds = std::strtod(number, &end);
    if (end == number || seconds < 0 || std::strncmp(end, " s\n", 3) != 0)
        return false;
    pos = static_cast<size_t>(end + 3 - text.c_str());
    return true;
}

}  // namespace

bool is_timing_report(const std::string& text) {
    size_t pos = 0;
    return take_seconds_line(text, pos, "Total time     : ") &&
           take_seconds_line(text, pos, "Processing time: ") && pos == text.size();
}

run_options info_options() {
    run_options o;
    o.program = KELVO_INFO_PATH;
    o.argv0 = "kelvo-info";
    return o;
}

std::string test_uri(const std::string& name) { return "http://kelvo.test/plugins/" + name; }

result run_kelvo(const std::vector<std::string>& args, const run_options& options) {
    const temp_dir dir;
    const std::vector<std::string> cmd = command(args, options, dir.path());
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0)
        exec_child(cmd, options, dir.path());
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
    }
    result r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = read_file(capture_path(dir.path(), "stdout"));
    r.err = read_file(capture_path(dir.path(), "stderr"));
    r.open_fds = read_file(capture_path(dir.path(), "fds"));
    if (r.status == valgrind_error_status)
        r.err += read_file(dir / "valgrind.log");
    return r;
}

}  // namespace kelvo::test
