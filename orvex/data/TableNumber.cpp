#include "orvex/data/TableNumber.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace orvex {

namespace {

// 10^k for k in [MinPower, 55]: the decimal exponents that scale a positive
// float, or its estimated exponent, into six digits. The literals are the nearest doubles.
constexpr int MinPower = -35;
constexpr double PowersOfTen[] = {
    1e-35, 1e-34, 1e-33, 1e-32, 1e-31, 1e-30, 1e-29, 1e-28, 1e-27, 1e-26, 1e-25, 1e-24, 1e-23, 1e-22, 1e-21, 1e-20,
    1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9, 1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3,
    1e-2, 1e-1, 1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17,
    1e18, 1e19, 1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29, 1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36,
    1e37, 1e38, 1e39, 1e40, 1e41, 1e42, 1e43, 1e44, 1e45, 1e46, 1e47, 1e48, 1e49, 1e50, 1e51, 1e52, 1e53, 1e54, 1e55
};
static_assert(sizeof PowersOfTen / sizeof PowersOfTen[0] == 55 - MinPower + 1, "one power per exponent");

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
    double scaled = value * PowersOfTen[static_cast<std::size_t>(5 - exponent - MinPower)];
    if (scaled >= 1e6) {
        ++exponent;
        scaled = value * PowersOfTen[static_cast<std::size_t>(5 - exponent - MinPower)];
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
