#pragma once
// Class operations of the HTTP request kit: the percent-encoders and decoder of
// URL texts and the creation of URLs from path texts, alone or relative to a
// base URL. None of them keeps state; all are callable from any thread.

#include "platform/VxValues.h"

class NUCRestKit {
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
};
