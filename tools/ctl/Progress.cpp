#include "Progress.h"

#include <cmath>

namespace ctl {

std::string formatBytes(std::int64_t bytes) {
    if (bytes < 0) bytes = 0;
    if (bytes < 1024) return std::to_string(bytes) + " B";
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    // Three significant digits; a value that rounds up to 1024 moves to the next unit.
    const int decimals = value < 9.995 ? 2 : value < 99.95 ? 1 : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    if (std::string(text) == "1024" && unit + 1 < std::size(kUnits))
        return std::string("1.00 ") + kUnits[unit + 1];
    return std::string(text) + " " + kUnits[unit];
}

std::string formatDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e9) return "--:--";
    const auto total = static_cast<long long>(std::llround(seconds));
    const long long h = total / 3600, m = total / 60 % 60, s = total % 60;
    char text[32];
    if (h > 0)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", h, m, s);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", m, s);
    return text;
}

namespace {

// Bytes per second, or a negative number while too little time has passed.
double rateOf(std::int64_t done, double elapsedSeconds) {
    if (!(elapsedSeconds >= 0.05) || done <= 0) return -1;
    return static_cast<double>(done) / elapsedSeconds;
}

std::string rateText(double rate) {
    return formatBytes(static_cast<std::int64_t>(rate)) + "/s";
}

}  // namespace

std::string formatProgress(const std::string& label, std::int64_t done, std::int64_t total,
                           double elapsedSeconds) {
    if (done < 0) done = 0;
    if (total >= 0 && done > total) done = total;
    std::string line = label + "  " + formatBytes(done);
    if (total >= 0) {
        const double percent = total == 0 ? 100.0 : 100.0 * static_cast<double>(done) / total;
        char pct[16];
        std::snprintf(pct, sizeof pct, "%3d%%", static_cast<int>(percent));
        line += " / " + formatBytes(total) + "  " + pct;
    }
    const double rate = rateOf(done, elapsedSeconds);
    if (rate > 0) {
        line += "  " + rateText(rate);
        if (total >= 0) line += "  " + formatDuration((total - done) / rate) + " left";
    }
    return line;
}

std::string formatSummary(const std::string& label, std::int64_t done, double elapsedSeconds) {
    std::string line = label + " " + formatBytes(done) + " in " + formatDuration(elapsedSeconds);
    const double rate = rateOf(done, elapsedSeconds);
    if (rate > 0) line += " (" + rateText(rate) + ")";
    return line;
}

void ProgressLine::begin(const std::string& label, const std::string& doneLabel) {
    if (!enabled_) return;
    std::lock_guard lock(mutex_);
    if (active_ && label == label_) return;
    if (active_) finishLocked();
    active_ = true;
    label_ = label;
    doneLabel_ = doneLabel;
    done_ = 0;
    start_ = Clock::now();
    lastDraw_ = {};
}

void ProgressLine::update(std::int64_t done, std::int64_t total) {
    if (!enabled_) return;
    std::lock_guard lock(mutex_);
    if (!active_) return;
    done_ = done;
    const auto now = Clock::now();
    const bool complete = total >= 0 && done >= total;
    if (!complete && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    drawLocked(formatProgress(label_, done, total, elapsed));
}

void ProgressLine::finish() {
    if (!enabled_) return;
    std::lock_guard lock(mutex_);
    if (active_) finishLocked();
}

void ProgressLine::clear() {
    if (!enabled_) return;
    std::lock_guard lock(mutex_);
    if (drawn_) std::fputs("\r\033[K", out_);
    std::fflush(out_);
    drawn_ = false;
    active_ = false;
}

void ProgressLine::drawLocked(const std::string& text) {
    std::fputs(("\r" + text + "\033[K").c_str(), out_);
    std::fflush(out_);
    drawn_ = true;
}

void ProgressLine::finishLocked() {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    drawLocked(formatSummary(doneLabel_, done_, elapsed));
    std::fputs("\n", out_);
    std::fflush(out_);
    drawn_ = false;
    active_ = false;
}

}  // namespace ctl
