#include "platform/foundation/VxDateFormatter.h"

#include <unicode/locid.h>
#include <unicode/simpletz.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

VX_DEFINE_CLASS(VxDateFormatter, VxObject, vxMakeInstance<VxDateFormatter>);

struct VxDateFormatter::Impl {
    std::string pattern;
    std::string locale = "en_US_POSIX";
    std::int32_t offset = 0;
    std::uint64_t behavior = VxDateFormatterBehaviorDefault;
    std::uint64_t timeStyle = VxDateFormatterNoStyle;
    std::unique_ptr<icu::SimpleDateFormat> icu;
    bool stale = true;

    // The ICU formatter is built when a date is first formatted or parsed after
    // a setting changed (the pattern, locale and zone are all part of it), so
    // that making and configuring a formatter loads no ICU locale data.
    void changed() {
        icu.reset();
        stale = true;
    }
    icu::SimpleDateFormat* current() {
        if (stale) rebuild();
        return icu.get();
    }
    void rebuild() {
        stale = false;
        UErrorCode status = U_ZERO_ERROR;
        auto fmt = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString::fromUTF8(pattern),
                                                           icu::Locale(locale.c_str()), status);
        if (U_FAILURE(status)) {
            icu.reset();
            return;
        }
        fmt->adoptTimeZone(new icu::SimpleTimeZone(offset * 1000, icu::UnicodeString("GMT")));
        fmt->setLenient(false);
        icu = std::move(fmt);
    }
};

VxDateFormatter::VxDateFormatter() : impl_(std::make_unique<Impl>()) {}

VxDateFormatter::~VxDateFormatter() = default;

VxDateFormatterPtr VxDateFormatter::formatter() {
    return std::make_shared<VxDateFormatter>();
}

std::string VxDateFormatter::dateFormat() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_->pattern;
}

void VxDateFormatter::setDateFormat(const std::string& pattern) {
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->pattern = pattern;
    impl_->changed();
}

std::string VxDateFormatter::localeIdentifier() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_->locale;
}

bool VxDateFormatter::setLocaleIdentifier(const std::string& identifier) {
    icu::Locale loc(identifier.c_str());
    if (loc.isBogus() || identifier.empty()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->locale = identifier;
    impl_->changed();
    return true;
}

std::int32_t VxDateFormatter::secondsFromGMT() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_->offset;
}

void VxDateFormatter::setTimeZoneSecondsFromGMT(std::int32_t seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->offset = seconds;
    impl_->changed();
}

std::uint64_t VxDateFormatter::formatterBehavior() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_->behavior;
}

void VxDateFormatter::setFormatterBehavior(std::uint64_t behavior) {
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->behavior = behavior;
}

std::uint64_t VxDateFormatter::timeStyle() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return impl_->timeStyle;
}

void VxDateFormatter::setTimeStyle(std::uint64_t style) {
    std::lock_guard<std::mutex> lock(mutex_);
    impl_->timeStyle = style;
}

VxStringPtr VxDateFormatter::stringFromDate(const VxDatePtr& date) const {
    if (!date) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    icu::SimpleDateFormat* fmt = impl_->current();
    if (!fmt) return nullptr;
    icu::UnicodeString out;
    fmt->format(static_cast<UDate>(date->timeIntervalSince1970() * 1000.0), out);
    std::string utf8;
    out.toUTF8String(utf8);
    return vxstr(std::move(utf8));
}

VxDatePtr VxDateFormatter::dateFromString(const VxStringPtr& text) const {
    if (!text) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    icu::SimpleDateFormat* fmt = impl_->current();
    if (!fmt) return nullptr;
    icu::UnicodeString in = icu::UnicodeString::fromUTF8(text->str());
    icu::ParsePosition pos(0);
    UDate when = fmt->parse(in, pos);
    if (pos.getErrorIndex() >= 0 || pos.getIndex() != in.length()) return nullptr;
    return VxDate::dateWithTimeIntervalSince1970(when / 1000.0);
}
