#include "multipart/NUCURLRequestMultipartGenerator.h"

#include <random>

#include "multipart/NUCStreamingMultipartFormData.h"
#include "platform/foundation/VxDispatch.h"
#include "platform/foundation/VxFormat.h"
#include "requests/NUCRestKit.h"

VX_DEFINE_CLASS(NUCURLRequestMultipartGenerator, NUCURLRequestGenerator,
                vxMakeInstance<NUCURLRequestMultipartGenerator>);

namespace {

// A boundary made only of letters, digits and "_" whose 64 random bits make it
// practically impossible to meet inside a part's bytes.
VxStringPtr makeBoundary() {
    static thread_local std::mt19937 engine{std::random_device{}()};
    std::uniform_int_distribution<std::uint32_t> field;
    return vxstr(vx::format("NUC_Streaming_%08X_Multipart_Form_Data_Boundary_%08X", field(engine),
                            field(engine)));
}

VxErrorPtr copyError(std::int64_t code, std::string_view text, const VxErrorPtr& underlying) {
    auto info = VxMutableDictionary::dictionary();
    info->setObject(vxstr(std::string(text)), VxLocalizedDescriptionKey);
    if (underlying) info->setObject(underlying, VxUnderlyingErrorKey);
    return VxError::errorWithDomain(VxURLErrorDomain, code, info);
}

// Copies the body into the output stream on the calling (worker) thread and
// gives the error that stopped it, or nothing.
VxErrorPtr copyBody(const VxInputStreamPtr& body, const VxOutputStreamPtr& output) {
    body->open();
    output->open();
    if (VxErrorPtr e = body->streamError()) return e;
    if (output->streamStatus() == VxStreamStatusError) {
        return copyError(VxURLErrorCannotCreateFile, "The file could not be created.",
                         output->streamError());
    }
    std::uint8_t buffer[1024];
    while (body->hasBytesAvailable() && output->hasSpaceAvailable()) {
        const std::int64_t read = body->read(buffer, sizeof buffer);
        if (VxErrorPtr e = body->streamError()) return e;
        if (read < 0) {
            return copyError(VxURLErrorUnknown, "The request body could not be read.", nullptr);
        }
        // A short write must not lose bytes: finish the chunk before reading on.
        std::int64_t written = 0;
        while (written < read) {
            const std::int64_t n =
                output->write(buffer + written, static_cast<std::size_t>(read - written));
            if (output->streamError() || n <= 0) {
                return copyError(VxURLErrorCannotWriteToFile, "The file could not be written.",
                                 output->streamError());
            }
            written += n;
        }
        if (read == 0) break;
    }
    return nullptr;
}

}  // namespace

NUCURLRequestMultipartGenerator::NUCURLRequestMultipartGenerator()
    : partBoundary_(makeBoundary()) {}

NUCURLRequestMultipartGeneratorPtr NUCURLRequestMultipartGenerator::generator() {
    return std::make_shared<NUCURLRequestMultipartGenerator>();
}

Id NUCURLRequestMultipartGenerator::copyWithZone(void* zone) const {
    auto copy =
        vx_cast<NUCURLRequestMultipartGenerator>(NUCURLRequestGenerator::copyWithZone(zone));
    if (copy) copy->setPartBoundary(partBoundary_);
    return copy;
}

VxMutableURLRequestPtr NUCURLRequestMultipartGenerator::multipartFormRequestWithMethod(
    const VxStringPtr& method, const VxStringPtr& forURLString, const Id& uriParameters,
    VxErrorPtr* error, const NUCMultipartConstructingBlock& constructingBodyWithBlock) {
    if (!forURLString || forURLString->empty()) return nullptr;
    VxURLPtr url = NUCRestKit::createURLForPathStr(forURLString, baseURL());
    if (!url) return nullptr;
    return multipartFormRequestWithMethod(method, url, uriParameters, error,
                                          constructingBodyWithBlock);
}

VxMutableURLRequestPtr NUCURLRequestMultipartGenerator::multipartFormRequestWithMethod(
    const VxStringPtr& method, const VxURLPtr& forURL, const Id& uriParameters, VxErrorPtr* error,
    const NUCMultipartConstructingBlock& constructingBodyWithBlock) {
    vxSetError(error, nullptr);
    // GET, HEAD and DELETE carry their parameters in the URI and get no body.
    if (!method || method->empty() || methodsWithParametersInURI(method)) return nullptr;
    VxErrorPtr buildError;
    VxMutableURLRequestPtr request =
        requestWithMethod(method, forURL, uriParameters, false, &buildError);
    if (!request || buildError) {
        vxSetError(error, buildError);
        return nullptr;
    }
    // The builder shares this generator. One that no shared pointer owns (made
    // on the stack, say) lends the builder a copy: the same encoding and boundary.
    auto self = std::dynamic_pointer_cast<NUCURLRequestMultipartGenerator>(
        std::const_pointer_cast<VxObject>(weak_from_this().lock()));
    if (!self) self = vx_cast<NUCURLRequestMultipartGenerator>(copyWithZone());
    auto builder = NUCStreamingMultipartFormData::initWithURLRequest(request, self);
    if (!builder) return nullptr;
    if (constructingBodyWithBlock) constructingBodyWithBlock(builder);
    return builder->requestByFinalizingMultipartFormData();
}

VxMutableURLRequestPtr NUCURLRequestMultipartGenerator::requestWithMultipartFormRequest(
    const VxURLRequestPtr& request, const VxURLPtr& writingStreamContentsToFile,
    const NUCMultipartCompletionHandler& completionHandler) const {
    if (!request) return nullptr;
    auto copy = std::static_pointer_cast<VxMutableURLRequest>(request->mutableCopy());
    VxInputStreamPtr body = request->HTTPBodyStream();
    if (!body) return copy;
    copy->setHTTPBodyStream(nullptr);

    const VxURLPtr& fileURL = writingStreamContentsToFile;
    VxOutputStreamPtr output;
    if (fileURL && fileURL->isFileURL() && !fileURL->path().empty()) {
        output = VxOutputStream::outputStreamToFileAtPath(fileURL->path(), false);
    }
    if (!output) {
        // No file to write to: report it like any failed copy.
        if (completionHandler) {
            VxErrorPtr e = copyError(VxURLErrorCannotCreateFile,
                                     "The file URL is not a local file URL.", nullptr);
            VxDispatchQueue::mainQueue().async([completionHandler, e] { completionHandler(e); });
        }
        return copy;
    }
    VxDispatchQueue::globalQueue().async([body, output, completionHandler] {
        VxErrorPtr e = copyBody(body, output);
        output->close();
        body->close();
        if (completionHandler) {
            VxDispatchQueue::mainQueue().async([completionHandler, e] { completionHandler(e); });
        }
    });
    return copy;
}
