#pragma once
// Dates: instants in seconds since 1970.

#include <string>

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxObject.h"
#include "platform/foundation/VxValuesFwd.h"

// Date: an instant as seconds since 1970-01-01 00:00:00 UTC.
class DA_EXPORT VxDate : public VxObject {
    VX_DECLARE_CLASS(VxDate)
  public:
    VxDate() = default;
    explicit VxDate(double secondsSince1970) : t_(secondsSince1970) {}
    static VxDatePtr date();  // now
    static VxDatePtr dateWithTimeIntervalSince1970(double seconds);
    double timeIntervalSince1970() const { return t_; }
    double timeIntervalSinceNow() const;
    int compare(const VxDate& other) const;
    bool isEqual(const VxObject& other) const override;
    std::size_t hash() const override;
    // "2026-12-06 19:55:02 +0000"
    std::string description() const override;

  private:
    double t_ = 0;
};
