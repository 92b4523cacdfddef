#pragma once
// The progress line of diagnosticsctl's transfers: how much has moved, how much
// is left and how fast, redrawn in place on a terminal and closed by a summary.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace ctl {

// "0 B", "999 B", "1.0 KiB", "12.3 MiB", "1.00 GiB": binary units, three
// significant digits from KiB up.
std::string formatBytes(std::int64_t bytes);
// "0:07", "12:34", "1:02:03"; "--:--" for a negative or non-finite duration.
std::string formatDuration(double seconds);

// One progress line: "<label>  <done> / <total>  <percent>  <rate>  <left> left".
// With total < 0 (unknown) the line has no total, percent or time left; before
// any rate can be measured it has no rate and no time left either. done is
// clamped to 0..total.
std::string formatProgress(const std::string& label, std::int64_t done, std::int64_t total,
                           double elapsedSeconds);
// The closing line: "<label> <done> in <duration> (<rate>)".
std::string formatSummary(const std::string& label, std::int64_t done, double elapsedSeconds);

// Draws progress lines on a stream, at most ten times a second, each over the
// last ("\r" and erase to the end of the line). Thread-safe: updates may come
// from a transfer's own thread. A disabled line draws nothing.
class ProgressLine {
  public:
    ProgressLine(std::FILE* out, bool enabled) : out_(out), enabled_(enabled) {}
    ~ProgressLine() { clear(); }

    // Starts a new phase; the previous one, if any, is closed by its summary.
    // Beginning the phase that is already running changes nothing.
    void begin(const std::string& label, const std::string& doneLabel);
    void update(std::int64_t done, std::int64_t total);
    // Closes the current phase with its summary line.
    void finish();
    // Erases an unfinished line (after a failure).
    void clear();
    bool enabled() const { return enabled_; }

  private:
    using Clock = std::chrono::steady_clock;
    void drawLocked(const std::string& text);
    void finishLocked();

    std::FILE* out_;
    bool enabled_;
    std::mutex mutex_;
    bool active_ = false;
    bool drawn_ = false;
    std::string label_, doneLabel_;
    std::int64_t done_ = 0;
    Clock::time_point start_{}, lastDraw_{};
};

}  // namespace ctl
