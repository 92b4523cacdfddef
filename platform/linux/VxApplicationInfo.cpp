#include "platform/linux/VxApplicationInfo.h"

#include "VxBuildInfo.h"

namespace {

VxStringPtr nonEmpty(const char* text) {
    if (!text || !*text) return nullptr;
    return VxString::make(text);
}

}  // namespace

VxStringPtr VxApplicationInfo::shortVersionString() {
    return nonEmpty(DA_APPLICATION_VERSION);
}

VxStringPtr VxApplicationInfo::buildVersion() {
    return nonEmpty(DA_APPLICATION_BUILD);
}
