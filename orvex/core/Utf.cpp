#include "orvex/core/Utf.h"

namespace orvex {

namespace {

bool isContinuationByte(unsigned char byte) { return (byte & 0xC0) == 0x80; }

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The payload bits of a lead byte and the number of continuation bytes it
// announces; false for bytes that cannot start a sequence.
bool decodeLeadByte(unsigned char lead, char32_t& value, int& continuationCount) {
    if (lead >= 0x01 && lead <= 0x7F) {
        value = lead;
        continuationCount = 0;
    } else if (lead >= 0xC0 && lead <= 0xDF) {
        value = lead & 0x1F;
        continuationCount = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        value = lead & 0x0F;
        continuationCount = 2;
    } else if (lead >= 0xF0 && lead <= 0xF7) {
        value = lead & 0x07;
        continuationCount = 3;
    } else {
        return false;
    }
    return true;
}

} // namespace

bool utfIsValid(char32_t codePoint) {
    return codePoint < 0xD800 || (codePoint >= 0xE000 && codePoint <= 0x10FFFF);
}

std::optional<char32_t> utfCharFromRowData(const char*& position, const char* end) {
    if (!position || position >= end || *position == 0)
        return std::nullopt;
    char32_t codePoint = 0;
    int expected = 0;
    if (!decodeLeadByte(static_cast<unsigned char>(*position), codePoint, expected) || end - position <= expected)
        return std::nullopt;

    int found = 0;
    for (int i = 1; i <= expected; ++i) {
        const auto byte = static_cast<unsigned char>(position[i]);
        if (isContinuationByte(byte)) {
            codePoint = (codePoint << 6) | (byte & 0x3F);
            ++found;
        }
    }
    if ((found == 0 && codePoint == 0) || !utfIsValid(codePoint))
        return std::nullopt;

    position += 1 + found;
    if (codePoint == 0)
        return std::nullopt;
    return codePoint;
}

const char* utfFindRowDataEnd(const char* begin, const char* end) {
    const char* position = begin;
    while (utfCharFromRowData(position, end)) {
    }
    return position;
}

bool utfIsValid(const std::string& text) {
    const char* end = text.data() + text.size();
    return utfFindRowDataEnd(text.data(), end) == end;
}

UtfCharsIterable utfChars(const std::string& text) { return UtfCharsIterable(text); }

std::u16string utfStrToU16(const std::string& text) {
    std::u16string units;
    units.reserve(text.size());
    const char* position = text.data();
    const char* end = position + text.size();
    while (const std::optional<char32_t> codePoint = utfCharFromRowData(position, end)) {
        if (*codePoint <= 0xFFFF) {
            units.push_back(static_cast<char16_t>(*codePoint));
        } else {
            const char32_t offset = *codePoint - 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
        }
    }
    return units;
}

std::string utf16ToStr(const std::u16string& units) {
    std::string text;
    text.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        if (unit == 0 || isLowSurrogate(unit))
            break;
        char32_t codePoint = unit;
        if (isHighSurrogate(unit)) {
            if (i + 1 == units.size() || !isLowSurrogate(units[i + 1]))
                break;
            ++i;
            codePoint = 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(units[i]) - 0xDC00);
        }
        utfAppend(text, codePoint);
    }
    return text;
}

bool utfIsDigit(char32_t codePoint) { return codePoint >= U'0' && codePoint <= U'9'; }

bool utfIsSpace(char32_t codePoint) { return codePoint == U' ' || (codePoint >= 0x09 && codePoint <= 0x0D); }

std::string utfChar2String(char32_t codePoint) {
    if (!utfIsValid(codePoint))
        return {};
    auto byte = [](char32_t bits) { return static_cast<char>(bits); };
    auto continuation = [](char32_t bits) { return static_cast<char>(0x80 | (bits & 0x3F)); };
    if (codePoint <= 0x7F)
        return std::string(1, byte(codePoint));
    if (codePoint <= 0x7FF)
        return {byte(0xC0 | (codePoint >> 6)), continuation(codePoint)};
    if (codePoint <= 0xFFFF)
        return {byte(0xE0 | (codePoint >> 12)), continuation(codePoint >> 6), continuation(codePoint)};
    return {byte(0xF0 | (codePoint >> 18)), continuation(codePoint >> 12), continuation(codePoint >> 6),
            continuation(codePoint)};
}

bool utfAppend(std::string& text, char32_t codePoint) {
    const std::string bytes = utfChar2String(codePoint);
    text += bytes;
    return !bytes.empty();
}

} // namespace orvex
