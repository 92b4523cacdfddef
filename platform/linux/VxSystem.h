#pragma once
// Small platform services: UUIDs, the user's preferred languages and ICU
// transliteration.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/VxExport.h"

// A fresh random UUID in canonical upper-case text (8-4-4-4-12); "" when the
// random generator fails.
DA_EXPORT std::string VxUUIDString();

// The user's preferred languages as BCP 47 tags, most preferred first: from
// LANGUAGE (a colon-separated list), else LC_ALL, LC_MESSAGES, LANG, in that
// precedence ("en_US.UTF-8" gives "en-US", "de_DE@euro" gives "de-DE"; "C" and
// "POSIX" give "en"). Empty and malformed entries are skipped, duplicates
// dropped. Never empty: "en" when nothing usable is set.
DA_EXPORT std::vector<std::string> VxPreferredLanguages();

// Applies an ICU transform (for example "Any-Latin; Latin-ASCII") to UTF-8
// text; nothing when the transform cannot be created (ICU is loaded on first
// use; so also when it cannot be loaded) or the text is not UTF-8.
// Thread-safe; transforms are created once per ID and reused.
DA_EXPORT std::optional<std::string> VxTransliterate(std::string_view text,
                                                     std::string_view transformID);
