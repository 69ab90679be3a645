// The progress line, seen through a pseudo-terminal as a user at a shell sees it.

#include "run_kelvo.h"
#include "sound.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

// Whether `text` is one drawing of the line, for an input of known or unknown length.
bool is_progress(const std::string& text, bool length_known) {
    int used = -1;
    int percent = 0, minutes = 0, seconds = 0;
    double speed = 0, done = 0;
    if (length_known)
        std::sscanf(text.c_str(), "kelvo: %d%% %lfx real time, %d:%d left%n", &percent, &speed,
                    &minutes, &seconds, &used);
    else
        std::sscanf(text.c_str(), "kelvo: %lf s done, %lfx real time%n", &done, &speed, &used);
    return used == static_cast<int>(text.size()) && percent >= 0 && percent <= 100 && speed > 0;
}

// Takes every "\r" + drawing + "\033[K" out of `seen` and returns how many there were; a
// bare erase ("\r\033[K") is taken out too.
int take_drawings(std::string& seen, bool length_known) {
    int drawings = 0;
    for (size_t at = 0; (at = seen.find('\r', at)) != std::string::npos;) {
        const size_t end = seen.find(erase + 1, at);
        if (end == std::string::npos)
            break;
        const std::string text = seen.substr(at + 1, end - at - 1);
        if (text.empty() || is_progress(text, length_known)) {
            drawings += text.empty() ? 0 : 1;
            seen.erase(at, end + 3 - at);
        } else {
            ++at;
        }
    }
    return drawings;
}

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
        bool pipe_input;  // the length is known only for the file read directly
    } cases[] = {
        {"known length", SF_FORMAT_WAV | SF_FORMAT_FLOAT, false},
        {"length unknown", SF_FORMAT_OGG | SF_FORMAT_VORBIS, true},
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
        // The line is taken down before the warning and at the end.
        const size_t at = seen.find(warning);
        ASSERT_NE(std::string::npos, at) << seen;
        EXPECT_EQ(erase, seen.substr(at - 4, 4)) << seen;
        EXPECT_TRUE(seen.ends_with(erase) || seen.ends_with("clipping\r\n")) << seen;
        // Ten drawings a second at most, from the first second on; nothing else is left.
        std::string rest = seen;
        const int drawings = take_drawings(rest, !c.pipe_input);
        EXPECT_GE(drawings, 1) << seen;
        EXPECT_LE(drawings, 6) << seen;
        EXPECT_EQ(warning + ", clipping\r\n", rest) << seen;
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
