// A fresh process for the text-services tests (tests/platform/TextServicesTests.cpp):
// does ordinary work with values, JSON and a record, then one date, number and
// transliteration each, and reports after each part whether ICU is mapped.
// Where the text-services module cannot be loaded the text lines read "(none)".

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "model/DAStatusObject.h"
#include "platform/foundation/VxDateFormatter.h"
#include "platform/foundation/VxJSON.h"
#include "platform/foundation/VxValues.h"
#include "platform/linux/VxSystem.h"

namespace {

bool icuMapped() {
    std::ifstream maps("/proc/self/maps");
    std::ostringstream text;
    text << maps.rdbuf();
    return text.str().find("/libicu") != std::string::npos;
}

std::string orNone(const VxStringPtr& text) {
    return text ? text->str() : "(none)";
}

// Values, a JSON round trip and a record made from the decoded object.
bool ordinaryWork() {
    const std::string json = R"({"status":{"code":"NoError","reason":"fine"},"n":[1,2.5,true]})";
    Id decoded =
        VxJSONSerialization::JSONObjectWithData(VxData::dataWithBytes(json.data(), json.size()), 0);
    auto object = vx_cast<VxDictionary>(decoded);
    if (!object) return false;
    auto status = DAStatusObject::modelWithDictionary(object->objectForKey(vxstr("status")));
    auto again = VxJSONSerialization::dataWithJSONObject(status->dictionary(), 0);
    return status->statusSuccess() && again && again->length() > 0;
}

}  // namespace

int main() {
    if (!ordinaryWork()) {
        std::printf("ordinary work failed\n");
        return 1;
    }
    std::printf("after ordinary work: icu %d\n", icuMapped() ? 1 : 0);

    auto formatter = VxDateFormatter::formatter();
    formatter->setDateFormat("yyyy-MM-dd");
    std::printf(
        "date: %s\n",
        orNone(formatter->stringFromDate(VxDate::dateWithTimeIntervalSince1970(0))).c_str());
    std::printf("number: %s\n",
                orNone(DAStatusObject::stringFromNumber(VxNumber::numberWithLong(12345))).c_str());
    std::optional<std::string> ascii = VxTransliterate("Cr\xc3\xa8me", "Latin-ASCII");
    std::printf("transliteration: %s\n", ascii ? ascii->c_str() : "(none)");
    std::printf("after text work: icu %d\n", icuMapped() ? 1 : 0);
    return 0;
}
