// Keyed archives: any bytes either decode or fail with an error of the archive
// domain; whatever decodes archives again, and that archive decodes to an object
// that archives to the very same bytes.

#include <cstring>

#include "fuzz/FuzzSupport.h"
#include "model/DADeviceModel.h"
#include "platform/foundation/VxKeyedArchiver.h"

namespace {

VxDataPtr archived(const Id& root) {
    VxErrorPtr error;
    VxDataPtr data = VxKeyedArchiver::archivedDataWithRootObject(root, false, &error);
    FUZZ_CHECK((data == nullptr) == (error != nullptr));
    return data;
}

Id decodedRoot(const VxDataPtr& data, bool secure, VxErrorPtr* error) {
    auto unarchiver = VxKeyedUnarchiver::unarchiverForReadingFromData(data, error);
    if (!unarchiver) {
        FUZZ_CHECK(*error != nullptr);
        return nullptr;
    }
    unarchiver->setRequiresSecureCoding(secure);
    Id root = unarchiver->decodeObjectForKey(VxKeyedArchiveRootObjectKey);
    // The scalar readers accept any key and never fail loudly.
    (void)unarchiver->decodeBoolForKey("flag");
    (void)unarchiver->decodeInt64ForKey("count");
    (void)unarchiver->decodeDoubleForKey("value");
    *error = unarchiver->error();
    return root;
}

}  // namespace

// Input: one byte of options (bit 0: secure decoding), then the archive.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    bool secure = in.byte() & 1;
    std::string bytes = in.rest();
    auto archive = VxData::dataWithBytes(bytes.data(), bytes.size());

    VxErrorPtr error;
    Id root = decodedRoot(archive, secure, &error);
    if (error) FUZZ_CHECK(error->domain() == VxKeyedArchiveErrorDomain);
    // A record class through the class-checked entry point.
    VxErrorPtr recordError;
    Id record = VxKeyedUnarchiver::unarchivedObjectOfClass(DADeviceModel::classObject(), archive,
                                                           &recordError);
    FUZZ_CHECK(!record || record->isKindOfClass(DADeviceModel::classObject()));
    if (!root) return 0;

    VxDataPtr first = archived(root);
    if (!first) return 0;  // e.g. a coded object that refuses to encode
    VxErrorPtr againError;
    Id again = decodedRoot(first, false, &againError);
    FUZZ_CHECK(again && !againError);
    VxDataPtr second = archived(again);
    FUZZ_CHECK(second && second->isEqual(*first));
    return 0;
}
