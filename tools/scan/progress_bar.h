// dtmf-scan's progress bar on a terminal: the share of the work done, the
// files finished, the rate in seconds of audio per second and the time left.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace dtmfscan {

// Where the scan of one file stands.
struct FileProgress {
    bool done = false;
    double fraction = 0.0;  // of the file read, 0 to 1
    double read = 0.0;      // seconds of audio read
    double total = 0.0;     // the file's length in seconds; 0 while unknown
};

// What the bar shows; a rate or time left below 0 is not known yet.
struct ProgressState {
    double fraction = 0.0;
    std::size_t finished = 0;
    std::size_t files = 0;
    double rate = -1.0;
    double seconds_left = -1.0;
};

// The state after `elapsed` seconds. Files whose length is not known yet
// are taken to be as long as the average of those whose length is.
ProgressState Estimate(const std::vector<FileProgress>& files, double elapsed);

// The bar's line in `columns`: "[###   ]  42%  3/10 files  85x  1:23 left",
// leaving the last column free (writing there wraps on some terminals).
// The pieces of text come first, from the left, each whole or not at all;
// the bar takes what room is left.
std::string ProgressLine(const ProgressState& state, std::size_t columns);

// Draws the line on stderr, erased before anything else is written there
// and drawn again afterwards, fitted to the terminal's width, measured
// again after every resize, so that it never wraps onto a second line.
class ProgressBar {
public:
    explicit ProgressBar(bool enabled);
    bool Enabled() const { return enabled_; }
    void Draw(const ProgressState& state);
    void Erase();

private:
    bool enabled_;
    bool shown_ = false;
    std::size_t columns_ = 80;
};

}
