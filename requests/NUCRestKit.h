#pragma once
// Class operations of the HTTP request kit: the percent-encoders and decoder of
// URL texts, the creation of URLs from path texts, simple GET and POST request
// records, Basic authorization, credential records, query and form encodings of
// parameter tables, the text-encoding probe of a file and the pre-flight test
// that a local file can be uploaded. None of them keeps state; all are callable
// from any thread.

#include <cstdint>
#include <initializer_list>

#include "platform/foundation/VxError.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxValues.h"
#include "platform/linux/VxURLCredential.h"
#include "platform/linux/VxURLRequest.h"

DA_EXPORT extern const char* const NUCRestKitErrorDomain;  // "NUCRestKitErrorDomain"

// Codes of NUCRestKitErrorDomain (file upload pre-flight).
enum : std::int64_t {
    NUCRestKitErrorInvalidURL = -1000,
    NUCRestKitErrorDoesNotExist = -1001,
    NUCRestKitErrorDirectory = -1002,
    NUCRestKitErrorSymbolicLink = -1003,
    NUCRestKitErrorNotReadable = -1004,
    NUCRestKitErrorNotReachable = -1005,
    NUCRestKitErrorAttributes = -1006,
    NUCRestKitErrorFileSize = -1007,
};

// Text encodings that getStringEncoding detects (besides UTF-8, 4).
enum : std::uint64_t {
    NUCStringEncodingUTF16BigEndian = 0x90000100,
    NUCStringEncodingUTF16LittleEndian = 0x94000100,
    NUCStringEncodingUTF32BigEndian = 0x98000100,
    NUCStringEncodingUTF32LittleEndian = 0x9c000100,
};

class DA_EXPORT NUCRestKit {
  public:
    NUCRestKit() = delete;

    // Decodes any percent escapes first (so an escaped text is not escaped
    // twice), then escapes everything but ASCII letters, digits, "-", ".", "_",
    // "~", ":", "&", "=", "/" and "?". Nothing for absent or empty input, an
    // escape that does not decode to UTF-8, or an empty result.
    static VxStringPtr urlEncodeParameterString(const VxStringPtr& text);
    // Every percent escape decoded as UTF-8. Nothing for absent or empty input,
    // an escape that does not decode, or an empty result.
    static VxStringPtr urlDecodeString(const VxStringPtr& text);
    // As urlEncodeParameterString, but only ASCII letters, digits, "-", "." and
    // "_" are left as they are (form bodies).
    static VxStringPtr urlEncodePostString(const VxStringPtr& text);

    // The path, encoded with urlEncodeParameterString, resolved against the base
    // URL (RFC 3986; the URL remembers its base) or parsed on its own when there
    // is no base. Nothing for an absent or empty path, a path that does not
    // encode, or a text that does not parse.
    static VxURLPtr createURLForPathStr(const VxStringPtr& path, const VxURLPtr& baseURL);
    // As above with a base given as text: a present, non-empty base text is
    // encoded and parsed first, and the call gives nothing when that fails.
    static VxURLPtr createURLForPathStr(const VxStringPtr& path, const VxStringPtr& baseStr);

    // --- Encodings of parameter tables (walked in the table's own order).
    // "key=value" pairs joined with "&", keys and values encoded with
    // urlEncodeParameterString (an absent or null value, or one that does not
    // encode, is empty). Nothing for an absent or null table or an empty result.
    static VxStringPtr encodeParamStringFromDictionary(const Id& table);
    // The same with urlEncodePostString, as ASCII bytes (nothing when empty).
    static VxDataPtr encodedFormFromDictionary(const Id& table);
    // The path immediately followed by "key=value" pairs joined with "&", without
    // any escaping. The list is read in key, value pairs; it ends at an absent
    // key, and reading stops at a null key or at an absent or null value (that
    // pair is dropped). Nothing for an unusable path or when there are no pairs.
    static VxStringPtr createQueryStringForPath(const VxStringPtr& path,
                                                std::initializer_list<Id> keysAndValues);

    // --- Requests.
    // A POST with the body (its "Content-Length", and the form "Content-Type"
    // when dataIsForm) or, without body, a GET; cache policy 0 when useCache
    // else 1; the timeout (120 s when not above 0); cookie handling; and
    // "Accept-Encoding: gzip". Nothing for an absent URL.
    static VxMutableURLRequestPtr createRequestForURL(const VxURLPtr& url, bool useCache,
                                                      double timeoutInterval,
                                                      const VxDataPtr& postData, bool dataIsForm,
                                                      bool handleCookies);
    // As above for a path text made into a URL with no base.
    static VxMutableURLRequestPtr createRequestForPath(const VxStringPtr& path, bool useCache,
                                                       double timeoutInterval,
                                                       const VxDataPtr& postData, bool dataIsForm,
                                                       bool handleCookies);
    // No body, no form, cookies handled, timeout 120 s.
    static VxMutableURLRequestPtr createSimpleRequestForURL(const VxURLPtr& url, bool useCache);
    // The table as a form body (no cache); an empty table leaves a GET.
    static VxMutableURLRequestPtr createPostRequestForURL(const VxURLPtr& url,
                                                          double timeoutInterval,
                                                          const Id& fromDictionary,
                                                          bool handleCookies);

    // --- Authorization.
    // A copy of the request with "Basic <base64 of user:password>" added to its
    // "Authorization" header. Nothing for an absent request or an absent or
    // empty user or password.
    static VxMutableURLRequestPtr addBasicAuthToURLRequest(const VxURLRequestPtr& request,
                                                           const VxStringPtr& forUserName,
                                                           const VxStringPtr& andPassword);
    // A credential kept for the life of the loading session; nothing when the
    // user or password is absent (empty texts are accepted).
    static VxURLCredentialPtr createVxURLCredentialForUser(const VxStringPtr& user,
                                                           const VxStringPtr& withPassword);

    // --- Files.
    // Reads the file (a path, or a file URL text) and detects its encoding:
    // UTF-32 and UTF-16 byte-order marks, a UTF-8 byte-order mark, else UTF-8.
    // The encoding (0 when none fits) goes to *encoding; true when the file's
    // text is valid in it and not empty. False without an out-argument or for a
    // path that does not make a local URL.
    static bool getStringEncoding(std::uint64_t* encoding, const VxStringPtr& forFileAtPath);
    // Whether the local file can be streamed as an upload body: a reachable,
    // readable regular file of non-zero size that is not a symbolic link. On
    // success the size goes to *outLength (when given).
    static bool canUploadFileAtURL(const VxURLPtr& fileURL, std::uint64_t* outLength,
                                   VxErrorPtr* error = nullptr);
};

namespace nuc {
// "Basic " and the Base64 text of "user:password" (UTF-8), in one unbroken
// token; nothing when either text is absent or empty or encoding fails.
DA_EXPORT VxStringPtr basicAuthorizationValue(const VxStringPtr& user, const VxStringPtr& password);
}  // namespace nuc
