#include "orvex/data/TableNumber.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace orvex {

namespace {

// Decimal exponents that scale a positive float, or its estimated exponent, into
// six digits: 10^k for k in [MinPower, MaxPower].
constexpr int MinPower = -35;
constexpr int MaxPower = 55;

// The nearest double of every power of ten in the range (strtod rounds correctly).
const std::array<double, MaxPower - MinPower + 1>& powersOfTen() {
    static const auto table = [] {
        std::array<double, MaxPower - MinPower + 1> powers{};
        for (int k = MinPower; k <= MaxPower; ++k)
            powers[static_cast<std::size_t>(k - MinPower)] = std::strtod(("1e" + std::to_string(k)).c_str(), nullptr);
        return powers;
    }();
    return table;
}

std::uint64_t bitsOf(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Within this distance of a rounding tie the scaled double may sit on the wrong
// side (its relative error stays below 3e-16, so below 3e-10 at 1e6).
constexpr double TieGuard = 1e-9;

// At most six digits; a switch rather than a loop, which the compiler would turn
// into a call of memcpy.
char* writeDigits(char* out, const char* digits, int count) {
    switch (count) {
    case 6:
        out[5] = digits[5];
        [[fallthrough]];
    case 5:
        out[4] = digits[4];
        [[fallthrough]];
    case 4:
        out[3] = digits[3];
        [[fallthrough]];
    case 3:
        out[2] = digits[2];
        [[fallthrough]];
    case 2:
        out[1] = digits[1];
        [[fallthrough]];
    case 1:
        out[0] = digits[0];
        break;
    default:
        break;
    }
    return out + count;
}

// The six digits `significand` (100000 .. 999999) times 10^(exponent - 5) in %g layout.
char* writeGeneral(char* out, int significand, int exponent) {
    static constexpr char DigitPairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                                         "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                                         "8081828384858687888990919293949596979899";
    char digits[6];
    const int rest = significand % 10000;
    std::memcpy(digits, DigitPairs + 2 * (significand / 10000), 2);
    std::memcpy(digits + 2, DigitPairs + 2 * (rest / 100), 2);
    std::memcpy(digits + 4, DigitPairs + 2 * (rest % 100), 2);
    int length = 6; // significant digits once trailing zeros are dropped
    while (length > 1 && digits[length - 1] == '0')
        --length;

    if (exponent >= -4 && exponent <= 5) {
        if (exponent < 0) {
            std::memcpy(out, "0.000", 5);
            return writeDigits(out + 1 - exponent, digits, length); // "0." and -exponent - 1 zeros
        }
        const int integerDigits = exponent + 1;
        out = writeDigits(out, digits, integerDigits);
        if (length > integerDigits) {
            *out++ = '.';
            out = writeDigits(out, digits + integerDigits, length - integerDigits);
        }
        return out;
    }
    *out++ = digits[0];
    if (length > 1) {
        *out++ = '.';
        out = writeDigits(out, digits + 1, length - 1);
    }
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    const int magnitude = std::abs(exponent); // at most 45 for a float
    *out++ = static_cast<char>('0' + magnitude / 10);
    *out++ = static_cast<char>('0' + magnitude % 10);
    return out;
}

// A positive finite value: scales it to six integer digits and rounds; near a tie
// the standard library's exact conversion decides.
char* writePositive(char* out, double value) {
    // value lies in [2^(e-1), 2^e); floor((e - 1) log10 2), taken as (n * 78913) >> 18,
    // never exceeds floor(log10 value) and falls short of it by at most one.
    const int binaryExponent = static_cast<int>((bitsOf(value) >> 52) & 0x7FF) - 1022;
    int exponent = ((binaryExponent - 1) * 78913) >> 18;
    double scaled = value * powersOfTen()[static_cast<std::size_t>(5 - exponent - MinPower)];
    if (scaled >= 1e6) {
        ++exponent;
        scaled = value * powersOfTen()[static_cast<std::size_t>(5 - exponent - MinPower)];
    }
    const auto whole = static_cast<int>(scaled);
    const double fraction = scaled - whole;
    if (std::fabs(fraction - 0.5) <= TieGuard)
        return std::to_chars(out, out + TableValueMaxChars, value, std::chars_format::general, 6).ptr;
    int significand = whole + (fraction > 0.5 ? 1 : 0);
    // Just below 1e6 the estimate kept the smaller exponent; rounding up reaches the next one.
    if (significand == 1000000) {
        significand = 100000;
        ++exponent;
    }
    return writeGeneral(out, significand, exponent);
}

} // namespace

char* formatTableValue(char* out, float value) {
    if (!std::isfinite(value)) {
        *out++ = '0';
        return out;
    }
    if (value == 0.0f) {
        if (std::signbit(value))
            *out++ = '-';
        *out++ = '0';
        return out;
    }
    if (value < 0.0f)
        *out++ = '-';
    return writePositive(out, std::fabs(static_cast<double>(value)));
}

} // namespace orvex
