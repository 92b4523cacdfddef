#pragma once
// The running application's version information, supplied by the build
// (generated header VxBuildInfo.h) in place of a bundle information table.

#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"

class DA_EXPORT VxApplicationInfo {
  public:
    // The short version string ("1.0.0"); nothing when the build gave none.
    static VxStringPtr shortVersionString();
    // The build number ("1"); nothing when the build gave none.
    static VxStringPtr buildVersion();
};
