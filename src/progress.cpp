#include "progress.h"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kelvo {

namespace {

constexpr double first_draw_seconds = 1.0;
constexpr double redraw_seconds = 0.1;
constexpr char erase_line[] = "\r\033[K";
constexpr char msg_progress[] = "%s: %d%% %.1fx real time, %d:%02d left";
constexpr char msg_progress_unknown_length[] = "%s: %.0f s done, %.1fx real time";

struct progress_state {
    bool enabled = false;
    bool shown = false;
    const char* program_name = "";
    int64_t total_frames = 0;
    double sample_rate = 0;
    double start = 0;
    double next_draw = 0;
    int columns = 0;  ///< the terminal's width; 0 when it does not say
};

progress_state state;

// The coarse clock is read from memory the kernel keeps current: no system call per block.
double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

int terminal_columns() {
    winsize size{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

int format_text(char* text, size_t capacity, int64_t done, double elapsed) {
    const double seconds_done = static_cast<double>(done) / state.sample_rate;
    const double speed = seconds_done / elapsed;
    if (state.total_frames <= 0 || done > state.total_frames)
        return std::snprintf(text, capacity, msg_progress_unknown_length, state.program_name,
                             seconds_done, speed);
    const double fraction = static_cast<double>(done) / static_cast<double>(state.total_frames);
    const double left = done > 0 ? elapsed * (1 - fraction) / fraction : 0;
    const auto left_seconds = static_cast<long>(std::min(std::round(left), 1e9));
    return std::snprintf(text, capacity, msg_progress, state.program_name,
                         static_cast<int>(fraction * 100), speed,
                         static_cast<int>(left_seconds / 60), static_cast<int>(left_seconds % 60));
}

// One write: the return to the line's start, the text, and a clear of what an older, longer
// text left behind.
void draw(int64_t done, double elapsed) {
    char text[256];
    const int length = format_text(text, sizeof text, done, elapsed);
    if (length <= 0)
        return;
    size_t visible = std::min(static_cast<size_t>(length), sizeof text - 1);
    // A line as wide as the terminal would wrap, and the return could not take it back.
    if (state.columns > 1)
        visible = std::min(visible, static_cast<size_t>(state.columns - 1));
    char line[sizeof text + sizeof erase_line];
    line[0] = '\r';
    std::copy_n(text, visible, line + 1);
    std::copy_n(erase_line + 1, sizeof erase_line - 2, line + 1 + visible);
    std::fwrite(line, 1, visible + sizeof erase_line - 1, stderr);
    state.shown = true;
}

}  // namespace

void progress_start(const char* program_name, int64_t total_frames, double sample_rate) {
    state = {};
    state.enabled = isatty(STDERR_FILENO) == 1 && sample_rate > 0;
    if (!state.enabled)
        return;
    state.program_name = program_name;
    state.total_frames = total_frames;
    state.sample_rate = sample_rate;
    state.start = now();
    state.next_draw = state.start + first_draw_seconds;
    state.columns = terminal_columns();
}

void progress_update(int64_t done) {
    if (!state.enabled)
        return;
    const double t = now();
    if (t < state.next_draw)
        return;
    state.next_draw = t + redraw_seconds;
    draw(done, t - state.start);
}

void progress_erase() {
    if (!state.shown)
        return;
    std::fputs(erase_line, stderr);
    state.shown = false;
}

}  // namespace kelvo
