#include "Ctl.h"

#include <iostream>

#include "platform/foundation/VxJSON.h"
#include "platform/linux/VxURLRequest.h"

namespace ctl {

void printJson(const Id& value, const Globals& globals) {
    std::uint64_t options = VxJSONWritingFragmentsAllowed | VxJSONWritingWithoutEscapingSlashes;
    if (!globals.json) options |= VxJSONWritingPrettyPrinted;
    VxDataPtr json = VxJSONSerialization::dataWithJSONObject(value ? value : vx::null(), options);
    std::cout << (json ? std::string(json->view()) : std::string("null")) << "\n";
}

std::string valueText(const Id& value) {
    if (auto text = vx_cast<VxString>(value)) return text->str();
    if (auto number = vx_cast<VxNumber>(value); number && number->isBoolean())
        return number->boolValue() ? "true" : "false";
    VxDataPtr json = VxJSONSerialization::dataWithJSONObject(
        value, VxJSONWritingFragmentsAllowed | VxJSONWritingWithoutEscapingSlashes);
    if (json) return std::string(json->view());
    return value ? value->descriptionInline() : std::string();
}

void complain(const std::string& message) {
    std::cerr << "diagnosticsctl: " << message << "\n";
}

int reportFailure(const std::string& what, const VxErrorPtr& error) {
    if (!error) {
        complain(what + ": not accepted (the server's reply was rejected, or the input refused)");
        return kRefused;
    }
    // The loading facility reports an HTTP status it has no code for as -1011;
    // every other error of its domain is a transport failure.
    const bool transport = error->domain() == VxURLErrorDomain && error->code() != -1011;
    const std::string detail = error->localizedDescription() + " [" + error->domain() + " " +
                               std::to_string(error->code()) + "]";
    if (transport) {
        complain(what + ": transport error: " + detail);
        return kUsage;
    }
    complain(what + ": refused: " + detail);
    return kRefused;
}

}  // namespace ctl
