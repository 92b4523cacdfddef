#pragma once
// A date formatter over ICU: a TR35 pattern, a locale, a time zone, a formatter
// behaviour and a time style. Thread-safe: every call takes the formatter's lock.
// ICU is loaded when a formatter first needs it (setting a locale, formatting or
// parsing); where it cannot be loaded those calls fail as described below.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"

class VxDateFormatter;
using VxDateFormatterPtr = std::shared_ptr<VxDateFormatter>;

enum : std::uint64_t {
    VxDateFormatterBehaviorDefault = 0,
    VxDateFormatterBehavior10_4 = 1040,
};
enum : std::uint64_t { VxDateFormatterNoStyle = 0 };

class DA_EXPORT VxDateFormatter : public VxObject {
    VX_DECLARE_CLASS(VxDateFormatter)
  public:
    VxDateFormatter();
    ~VxDateFormatter() override;
    static VxDateFormatterPtr formatter();

    std::string dateFormat() const;
    void setDateFormat(const std::string& pattern);
    // The locale identifier ("en_US_POSIX"); false when ICU does not know it or
    // cannot be loaded, in which case the formatter keeps its locale.
    std::string localeIdentifier() const;
    bool setLocaleIdentifier(const std::string& identifier);
    // Seconds east of GMT of the fixed time zone.
    std::int32_t secondsFromGMT() const;
    void setTimeZoneSecondsFromGMT(std::int32_t seconds);
    std::uint64_t formatterBehavior() const;
    void setFormatterBehavior(std::uint64_t behavior);
    std::uint64_t timeStyle() const;
    void setTimeStyle(std::uint64_t style);

    // Nothing when the date is absent or ICU fails (or cannot be loaded).
    VxStringPtr stringFromDate(const VxDatePtr& date) const;
    // Nothing when the text does not parse with the pattern (or ICU cannot be
    // loaded).
    VxDatePtr dateFromString(const VxStringPtr& text) const;

  private:
    struct Impl;
    mutable std::mutex mutex_;
    std::unique_ptr<Impl> impl_;
};
