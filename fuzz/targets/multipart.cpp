// Multipart bodies: random parts (form fields, file data, streams) read through
// the body stream with random read sizes and packet sizes deliver exactly the
// request's Content-Length bytes, framed by the boundary, and then end.

#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "multipart/NUCMultipartBodyStream.h"
#include "multipart/NUCURLRequestMultipartGenerator.h"

namespace {

VxStringPtr optionalText(fuzz::Input& in) {
    std::size_t length = in.byte() % 24;
    if (length == 0) return nullptr;
    return vxstr(in.bytes(length - 1));
}

void appendPart(fuzz::Input& in, NUCMultipartFormData& form) {
    int kind = in.byte() % 3;
    VxStringPtr name = optionalText(in);
    VxStringPtr fileName = optionalText(in);
    VxStringPtr mimeType = optionalText(in);
    std::string body = in.bytes(in.byte() * 4u);
    VxDataPtr data = VxData::dataWithBytes(body.data(), body.size());
    VxErrorPtr error;
    bool ok = false;
    switch (kind) {
        case 0:
            ok = form.appendPartWithFormData(data, name, nullptr, mimeType, &error);
            break;
        case 1:
            ok = form.appendPartWithFileData(data, name, fileName, nullptr, mimeType, &error);
            break;
        default:
            ok = form.appendPartWithInputStream(VxInputStream::inputStreamWithData(data), name,
                                                fileName, nullptr, body.size(), mimeType, &error);
            break;
    }
    FUZZ_CHECK(ok == (error == nullptr));
}

}  // namespace

// Input: the part count, each part's kind, texts and body, then read sizes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    int parts = in.byte() % 8;
    std::uint32_t packet = in.u32();
    auto generator = NUCURLRequestMultipartGenerator::generator();
    VxErrorPtr error;
    VxMutableURLRequestPtr request = generator->multipartFormRequestWithMethod(
        vxstr("POST"), vxstr("http://127.0.0.1/upload"), nullptr, &error,
        [&](const std::shared_ptr<NUCMultipartFormData>& form) {
            for (int i = 0; i < parts; ++i) appendPart(in, *form);
            // Pacing without delay: a packet size of 0 would never deliver a byte.
            if (packet % 2) form->setPacketSize(1 + packet % 5000, 0);
        });
    FUZZ_CHECK(request && !error);
    auto stream = vx_cast<NUCMultipartBodyStream>(request->HTTPBodyStream());
    if (!stream) {  // nothing appended: no body at all
        FUZZ_CHECK(!request->valueForHTTPHeaderField("Content-Length"));
        return 0;
    }
    VxStringPtr lengthText = request->valueForHTTPHeaderField("Content-Length");
    FUZZ_CHECK(lengthText);
    std::uint64_t contentLength = std::stoull(lengthText->str());
    FUZZ_CHECK(contentLength == stream->contentLength());

    stream->open();
    std::string body;
    std::vector<std::uint8_t> buffer(4096);
    for (int reads = 0;; ++reads) {
        FUZZ_CHECK(reads < 100000);
        std::size_t want = 1 + in.byte() % 64 * (in.byte() % 64 + 1);
        std::int64_t n = stream->read(buffer.data(), want);
        FUZZ_CHECK(n >= 0 && static_cast<std::uint64_t>(n) <= want);
        if (n == 0) break;
        body.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
    }
    stream->close();
    FUZZ_CHECK(!stream->streamError());
    FUZZ_CHECK(body.size() == contentLength);
    const std::string& boundary = generator->partBoundary()->str();
    FUZZ_CHECK(body.rfind("--" + boundary + "\r\n", 0) == 0);
    std::string last = "\r\n--" + boundary + "--\r\n";
    FUZZ_CHECK(body.size() >= last.size() &&
               body.compare(body.size() - last.size(), last.size(), last) == 0);
    return 0;
}
