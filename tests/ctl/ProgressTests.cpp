// The progress line of diagnosticsctl's transfers: its texts and how it draws.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "Progress.h"

namespace {

constexpr std::int64_t kMiB = 1024 * 1024;
constexpr std::int64_t kGiB = 1024 * kMiB;

TEST(Progress, ByteCountsUseBinaryUnitsWithThreeDigits) {
    const struct {
        std::int64_t bytes;
        const char* text;
    } cases[] = {
        {-5, "0 B"},
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.00 KiB"},
        {1536, "1.50 KiB"},
        {10 * 1024 + 512, "10.5 KiB"},
        {100 * kMiB, "100 MiB"},
        {kGiB - 1, "1.00 GiB"},  // rounds into the next unit
        {kGiB, "1.00 GiB"},
        {3 * kGiB / 2, "1.50 GiB"},
    };
    for (const auto& c : cases) EXPECT_EQ(ctl::formatBytes(c.bytes), c.text) << c.bytes;
}

TEST(Progress, DurationsAsMinutesOrHours) {
    const struct {
        double seconds;
        const char* text;
    } cases[] = {
        {0, "0:00"},
        {7.4, "0:07"},
        {59.6, "1:00"},
        {754, "12:34"},
        {3723, "1:02:03"},
        {-1, "--:--"},
        {std::numeric_limits<double>::infinity(), "--:--"},
        {std::nan(""), "--:--"},
    };
    for (const auto& c : cases) EXPECT_EQ(ctl::formatDuration(c.seconds), c.text) << c.seconds;
}

TEST(Progress, LineShowsWhatIsKnown) {
    // Half of 1 GiB in 2 s: 256 MiB/s, 2 s left.
    EXPECT_EQ(ctl::formatProgress("Uploading", kGiB / 2, kGiB, 2.0),
              "Uploading  512 MiB / 1.00 GiB   50%  256 MiB/s  0:02 left");
    // Unknown total: no percent and no time left.
    EXPECT_EQ(ctl::formatProgress("Downloading", 3 * kMiB, -1, 1.0),
              "Downloading  3.00 MiB  3.00 MiB/s");
    // Too early for a rate.
    EXPECT_EQ(ctl::formatProgress("Uploading", 10, 100, 0.0), "Uploading  10 B / 100 B   10%");
    // More than the total is shown as the total; an empty total is complete.
    EXPECT_EQ(ctl::formatProgress("Digest", 150, 100, 1.0),
              "Digest  100 B / 100 B  100%  100 B/s  0:00 left");
    EXPECT_EQ(ctl::formatProgress("Uploading", 0, 0, 1.0), "Uploading  0 B / 0 B  100%");
    EXPECT_EQ(ctl::formatSummary("Uploaded", kGiB, 4.0), "Uploaded 1.00 GiB in 0:04 (256 MiB/s)");
    EXPECT_EQ(ctl::formatSummary("Uploaded", 0, 0.0), "Uploaded 0 B in 0:00");
}

std::string drawn(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[256];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    return text;
}

TEST(Progress, LineRedrawsInPlaceAndEndsWithItsSummary) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    {
        ctl::ProgressLine line(file, true);
        line.begin("Checking", "Checked");
        line.update(50, 100);                 // first update is drawn
        line.begin("Checking", "Checked");    // the same phase goes on
        line.update(60, 100);                 // within 100 ms of the last: skipped
        line.update(100, 100);                // complete: always drawn
        line.begin("Uploading", "Uploaded");  // closes the first phase
        line.update(10, 100);
        line.clear();  // a failure erases the unfinished line
    }
    const std::string text = drawn(file);
    EXPECT_EQ(text.find("60 B"), std::string::npos) << text;
    EXPECT_NE(text.find("\rChecking  50 B / 100 B   50%"), std::string::npos) << text;
    EXPECT_NE(text.find("\rChecking  100 B / 100 B  100%"), std::string::npos) << text;
    EXPECT_NE(text.find("\rChecked 100 B in "), std::string::npos) << text;
    EXPECT_NE(text.find("\rUploading  10 B / 100 B   10%"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_EQ(text.substr(text.size() - 4), "\r\033[K") << text;
    std::fclose(file);

    // A disabled line (no terminal, or --json) draws nothing at all.
    file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    {
        ctl::ProgressLine line(file, false);
        line.begin("Uploading", "Uploaded");
        line.update(100, 100);
        line.finish();
    }
    EXPECT_EQ(drawn(file), "");
    std::fclose(file);
}

}  // namespace
