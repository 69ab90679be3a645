// The progress line, seen through a pseudo-terminal as a user at a shell sees it.

#include "run_kelvo.h"
#include "sound.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

constexpr char erase[] = "\r\033[K";

// Runs `command` through bash with its standard error on a new terminal and its other
// streams away from it; returns everything the terminal received.
std::string run_on_terminal(const std::string& command) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        setenv("LV2_PATH", KELVO_TEST_LV2_PATH, 1);
        execl("/bin/bash", "bash", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0)
            seen.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;  // EIO: the program has closed the terminal
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    return seen;
}

std::string quoted(const std::string& s) { return "'" + s + "'"; }

// About 1.3 s of work: ten blocks with a pause in each, and a sample beyond full scale in
// the last, so that a warning comes while the line is up.
sound slow_input() {
    sound in = numbered_sound(1, 48000);
    for (float& x : in.samples)
        x = 0.25f;
    in.samples.back() = 2;
    return in;
}

const std::vector<std::string> slow_args = {"-n", "4800", "-c", "delay_ms:130"};

std::string slow_command(const std::string& in, const std::string& out, bool pipe_input) {
    std::string command = pipe_input ? "cat " + quoted(in) + " | " : "";
    command += "exec -a kelvo " + quoted(KELVO_PATH) + " -i " + (pipe_input ? "-" : quoted(in)) + " -o " +
               quoted(out);
    for (const std::string& a : slow_args)
        command += " " + a;
    return command + " " + quoted(test_uri("slow"));
}

TEST(Progress, ALongRunShowsOneSelfErasingLineOnATerminal) {
    const struct {
        const char* what;
        int format;
        bool pipe_input;
        const char* line;  // what every drawing of the line must look like
    } cases[] = {
        {"known length", SF_FORMAT_WAV | SF_FORMAT_FLOAT, false,
         R"(\rkelvo: \d{1,3}% \d+\.\dx real time, \d+:\d\d left\x1b\[K)"},
        {"length unknown", SF_FORMAT_OGG | SF_FORMAT_VORBIS, true,
         R"(\rkelvo: \d+ s done, \d+\.\dx real time\x1b\[K)"},
    };
    const std::string warning = "kelvo: warning: out of range value detected in audio output";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const temp_dir dir;
        sound in = slow_input();
        in.format = c.format;
        const std::string ext = c.format & SF_FORMAT_OGG ? ".ogg" : ".wav";
        write_sound(dir / ("in" + ext), in);
        const std::string seen =
            run_on_terminal(slow_command(dir / ("in" + ext), dir / ("out" + ext), c.pipe_input));
        const std::regex line{c.line};
        const auto lines = std::distance(std::sregex_iterator(seen.begin(), seen.end(), line),
                                         std::sregex_iterator());
        EXPECT_GE(lines, 1) << seen;
        EXPECT_LE(lines, 6) << seen;  // ten a second at most, from the first second on
        // The line is taken down before the warning and at the end, and nothing else is left.
        const size_t at = seen.find(warning);
        ASSERT_NE(std::string::npos, at) << seen;
        EXPECT_EQ(erase, seen.substr(at - 4, 4)) << seen;
        EXPECT_TRUE(seen.ends_with(erase) || seen.ends_with("clipping\r\n")) << seen;
        std::string rest = std::regex_replace(seen, line, "");
        for (size_t p; (p = rest.find(erase)) != std::string::npos;)
            rest.erase(p, 4);
        EXPECT_EQ(warning + ", clipping\r\n", rest);
    }
}

TEST(Progress, NothingChangesWhenStandardErrorIsNotATerminal) {
    const temp_dir dir;
    write_sound(dir / "in.wav", slow_input());
    std::vector<std::string> args = slow_args;
    args.insert(args.end(), {"-i", dir / "in.wav", "-o", dir / "out.wav", test_uri("slow")});
    const result r = run_kelvo(args);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("kelvo: warning: out of range value detected in audio output, clipping\n", r.err);
}

}  // namespace
}  // namespace kelvo::test
