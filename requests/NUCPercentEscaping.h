#pragma once
// Percent-escaping helpers shared by the URL encoders and the request
// generator's query encoder.

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/VxExport.h"

namespace nuc {

// For every byte value, whether it is written as itself (true) or as "%XX".
using KeptBytes = std::array<bool, 256>;

// ASCII letters and digits plus the given characters.
DA_EXPORT KeptBytes keptBytes(std::string_view extra);

// Appends the bytes, escaping every byte that is not kept as "%" and two
// upper-case hexadecimal digits.
DA_EXPORT void appendPercentEscaped(std::string& out, std::string_view bytes,
                                    const KeptBytes& kept);

// Decodes every "%XX" escape. Nothing when an escape is malformed ("%" not
// followed by two hexadecimal digits) or the decoded bytes are not UTF-8.
DA_EXPORT std::optional<std::string> percentDecodeUTF8(std::string_view text);

}  // namespace nuc
