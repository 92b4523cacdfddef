// A server reply body through the JSON reader and the reply envelope test: the
// reader agrees with an independent parser, what it reads writes back and reads
// again as the same value, and the envelope verdict is the documented rule.

#include <cstdlib>

#include "Managers/DAConnectionManager.h"
#include "fuzz/FuzzSupport.h"
#include "platform/foundation/VxJSON.h"

namespace {

bool oracleAccepts(const nlohmann::ordered_json& reply) {
    if (!reply.is_object()) return false;
    auto response = reply.find("response");
    if (response != reply.end() && response->is_string()) {
        const auto& text = response->get_ref<const std::string&>();
        if (text == "SessionSuccess" || text == "EnrollSuccess" || text == "ProfileSuccess")
            return true;
    }
    auto status = reply.find("status");
    if (status == reply.end() || !status->is_object() || status->empty()) return false;
    auto code = status->find("code");
    return code != status->end() && code->is_string() &&
           code->get_ref<const std::string&>() == "NoError";
}

DAConnectionManager& manager() {
    // The manager reads its server choice from an empty preferences directory
    // of this process's own.
    static DAConnectionManager* instance = [] {
        ::setenv("DA_PREFERENCES_DIR", fuzz::privateDirectory().c_str(), 1);
        return new DAConnectionManager();
    }();
    return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto body = VxData::dataWithBytes(data, size);
    VxErrorPtr error;
    Id reply = VxJSONSerialization::JSONObjectWithData(body, VxJSONReadingFragmentsAllowed, &error);
    auto oracle = fuzz::parseOracle(std::string_view(reinterpret_cast<const char*>(data), size));

    FUZZ_CHECK((reply == nullptr) == (error != nullptr));
    FUZZ_CHECK((reply == nullptr) == oracle.is_discarded());
    if (reply) FUZZ_CHECK(fuzz::sameJSON(reply, oracle));

    VxErrorPtr envelopeError = VxError::errorWithDomain("unset", 1, nullptr);
    bool accepted = manager().validateResponse(reply, &envelopeError);
    FUZZ_CHECK(envelopeError == nullptr);  // always written, never with an error
    FUZZ_CHECK(accepted == (reply && oracleAccepts(oracle)));

    if (reply) {  // what was read writes back and reads again unchanged
        VxErrorPtr writeError;
        auto written = VxJSONSerialization::dataWithJSONObject(reply, VxJSONWritingFragmentsAllowed,
                                                               &writeError);
        FUZZ_CHECK(written && !writeError);
        Id again = VxJSONSerialization::JSONObjectWithData(written, VxJSONReadingFragmentsAllowed);
        FUZZ_CHECK(again && again->isEqual(*reply));
    }
    return 0;
}
