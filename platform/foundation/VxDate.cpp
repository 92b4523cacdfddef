#include "platform/foundation/VxDate.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

VX_DEFINE_CLASS(VxDate, VxObject, vxMakeInstance<VxDate>);

VxDatePtr VxDate::date() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::make_shared<VxDate>(std::chrono::duration<double>(now).count());
}

VxDatePtr VxDate::dateWithTimeIntervalSince1970(double seconds) {
    return std::make_shared<VxDate>(seconds);
}

double VxDate::timeIntervalSinceNow() const {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return t_ - std::chrono::duration<double>(now).count();
}

int VxDate::compare(const VxDate& other) const {
    return t_ < other.t_ ? -1 : (t_ > other.t_ ? 1 : 0);
}

bool VxDate::isEqual(const VxObject& other) const {
    auto* d = dynamic_cast<const VxDate*>(&other);
    return d && d->t_ == t_;
}

std::size_t VxDate::hash() const {
    return std::hash<double>()(t_);
}

std::string VxDate::description() const {
    // Calendar text for years 0001 to 9999; other times (and not-a-number, which
    // a decoded archive may hold) get a text that says so.
    constexpr double kFirst = -62135596800.0;  // 0001-01-01 00:00:00 UTC
    constexpr double kEnd = 253402300800.0;    // 10000-01-01 00:00:00 UTC
    char buf[96];
    if (!(t_ >= kFirst && t_ < kEnd)) {
        std::snprintf(buf, sizeof buf, "(date out of range: %g seconds since 1970)", t_);
        return buf;
    }
    std::time_t secs = static_cast<std::time_t>(std::floor(t_));
    std::tm tm{};
    gmtime_r(&secs, &tm);
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d +0000", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}
