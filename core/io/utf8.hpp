// UTF-8 checks for the text formats: whole-text validation and Unicode white-space trimming.
#pragma once
#include <string_view>

namespace nubiro::io {

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool valid_utf8(std::string_view s);

// `s` (valid UTF-8) without leading and trailing Unicode White_Space characters.
std::string_view trim_unicode_space(std::string_view s);

}  // namespace nubiro::io
