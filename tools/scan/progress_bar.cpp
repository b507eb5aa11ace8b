#include "progress_bar.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace dtmfscan {
namespace {

volatile sig_atomic_t terminal_resized = 1;

void NoteResize(int) { terminal_resized = 1; }

// Shorter than a second, the rate says more about starting than scanning.
constexpr double kFirstRateAfter = 1.0;

std::string Rate(double rate) {
    char text[32];
    std::snprintf(text, sizeof text, rate < 10.0 ? "%.1fx" : "%.0fx", rate);
    return text;
}

std::string TimeLeft(double seconds) {
    // Clamped so that a rate near zero cannot overflow the conversion.
    const auto s = static_cast<long long>(std::ceil(std::min(seconds, 1e9)));
    char text[48];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld left", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld left", s / 60, s % 60);
    }
    return text;
}

}

ProgressState Estimate(const std::vector<FileProgress>& files, double elapsed) {
    ProgressState state;
    state.files = files.size();
    double read = 0.0;
    double left = 0.0;
    double known = 0.0;
    std::size_t known_count = 0;
    std::size_t unknown_count = 0;
    for (const FileProgress& file : files) {
        state.finished += file.done ? 1 : 0;
        state.fraction += file.done ? 1.0 : std::clamp(file.fraction, 0.0, 1.0);
        read += file.read;
        if (file.total > 0.0) {
            known += std::max(file.total, file.read);
            ++known_count;
            if (!file.done) left += std::max(0.0, file.total - file.read);
        } else if (!file.done) {
            ++unknown_count;
        }
    }
    if (!files.empty()) state.fraction /= static_cast<double>(files.size());
    if (elapsed >= kFirstRateAfter && read > 0.0) {
        state.rate = read / elapsed;
        if (known_count > 0) {
            left += static_cast<double>(unknown_count) * known / static_cast<double>(known_count);
            state.seconds_left = left / state.rate;
        }
    }
    return state;
}

std::string ProgressLine(const ProgressState& state, std::size_t columns) {
    const std::size_t room = columns > 1 ? columns - 1 : 0;
    char head[64];
    std::snprintf(head, sizeof head, " %3d%%  %zu/%zu files", static_cast<int>(state.fraction * 100.0),
                  state.finished, state.files);
    std::string line = head;
    for (const std::string& more : {state.rate >= 0.0 ? Rate(state.rate) : std::string(),
                                    state.seconds_left >= 0.0 ? TimeLeft(state.seconds_left) : std::string()}) {
        if (more.empty() || line.size() + 2 + more.size() > room) break;
        line.append("  ").append(more);
    }
    if (room >= line.size() + 7) {
        const std::size_t width = room - line.size() - 2;
        const double fraction = std::clamp(state.fraction, 0.0, 1.0);
        const auto filled = std::min(width, static_cast<std::size_t>(fraction * static_cast<double>(width)));
        // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on
        // "[" + std::string(...) at -O3.
        std::string bar = "[";
        bar.append(filled, '#').append(width - filled, ' ').append("]").append(line);
        line = std::move(bar);
    }
    line.resize(std::min(line.size(), room));
    return line;
}

ProgressBar::ProgressBar(bool enabled) : enabled_(enabled) {
    if (!enabled_) return;
    struct sigaction action {};
    action.sa_handler = NoteResize;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGWINCH, &action, nullptr);
}

void ProgressBar::Draw(const ProgressState& state) {
    if (!enabled_) return;
    if (terminal_resized) {
        terminal_resized = 0;
        winsize size{};
        columns_ = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    }
    std::fprintf(stderr, "\r%s\033[K", ProgressLine(state, columns_).c_str());
    std::fflush(stderr);
    shown_ = true;
}

void ProgressBar::Erase() {
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);
    shown_ = false;
}

}
