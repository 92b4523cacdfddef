#include "platform/foundation/VxDateFormatter.h"

#include "platform/foundation/VxTextServicesPrivate.h"

VX_DEFINE_CLASS(VxDateFormatter, VxObject, vxMakeInstance<VxDateFormatter>);

struct VxDateFormatter::Impl {
    std::string pattern;
    std::string locale = "en_US_POSIX";
    std::int32_t offset = 0;
    std::uint64_t behavior = VxDateFormatterBehaviorDefault;
    std::uint64_t timeStyle = VxDateFormatterNoStyle;
    vx::text::DateFormat format;
    bool stale = true;

    // The formatter is built when a date is first formatted or parsed after a
    // setting changed (the pattern, locale and zone are all part of it), so
    // that making and configuring a formatter loads no locale data.
    void changed() {
        format.reset();
        stale = true;
    }
    const vx::text::DateFormat& current() {
        if (stale) {
            stale = false;
            format = vx::text::makeDateFormat(pattern, locale, offset);
        }
        return format;
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
    if (identifier.empty() || !vx::text::isUsableLocale(identifier)) return false;
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
    auto text = vx::text::formatDate(impl_->current(), date->timeIntervalSince1970());
    return text ? vxstr(std::move(*text)) : nullptr;
}

VxDatePtr VxDateFormatter::dateFromString(const VxStringPtr& text) const {
    if (!text) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto when = vx::text::parseDate(impl_->current(), text->str());
    return when ? VxDate::dateWithTimeIntervalSince1970(*when) : nullptr;
}
