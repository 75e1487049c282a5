#pragma once
// UTF-8 and UTF-16 conversions over a lenient UTF-8 decoder.
//
// Text lives in memory as UTF-8 in std::string; data-set files store it as
// UTF-16. Nothing here logs or throws (apart from allocation failure): invalid
// input ends a conversion silently, keeping what was converted before it.

#include <optional>
#include <string>

#include "orvex/core/UtfCharsIterable.h"

namespace orvex {

// A code point is valid below U+D800 and from U+E000 to U+10FFFF.
bool utfIsValid(char32_t codePoint);

// Decodes the code point at `position` in [position, end) and moves `position`
// past the bytes used. Lenient: overlong forms are accepted, and bytes that are
// not continuation bytes are passed over among the expected ones (only the lead
// and the continuation bytes found are consumed). Yields nothing, without
// moving, at the end, at a 0 byte, at a stray continuation or 0xF8..0xFF lead,
// when too few bytes remain, or for an invalid code point; a decoded 0 moves
// past its bytes but also yields nothing.
std::optional<char32_t> utfCharFromRowData(const char*& position, const char* end);

// The position where decoding from `begin` first yields nothing.
const char* utfFindRowDataEnd(const char* begin, const char* end);

// True when the whole string decodes.
bool utfIsValid(const std::string& text);

UtfCharsIterable utfChars(const std::string& text);

// UTF-16 units of the decodable prefix of `text`; code points above U+FFFF
// become surrogate pairs, high surrogate first.
std::u16string utfStrToU16(const std::string& text);

// UTF-8 of `units` up to the first 0 unit, lone low surrogate or high
// surrogate without its low surrogate.
std::string utf16ToStr(const std::u16string& units);

// ASCII digits U+0030..U+0039 only.
bool utfIsDigit(char32_t codePoint);
// U+0009..U+000D and U+0020 only.
bool utfIsSpace(char32_t codePoint);

// The UTF-8 bytes of a valid code point (U+0000 gives one 0 byte); empty when invalid.
std::string utfChar2String(char32_t codePoint);

// Appends the UTF-8 bytes of `codePoint`; false, appending nothing, when it is invalid.
bool utfAppend(std::string& text, char32_t codePoint);

} // namespace orvex
