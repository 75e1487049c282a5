#pragma once
// The number text of exported text tables: printf's "%g" of the value as a double
// (six significant digits; fixed notation for decimal exponents -4 .. 5, else one
// digit, point, digits, "e", sign and two exponent digits; trailing zeros and a
// trailing point dropped). NaN and infinities are written as 0.

namespace orvex {

// The longest text formatTableValue writes ("-1.23457e-45").
constexpr int TableValueMaxChars = 12;

// Writes the text of `value` at `out` and returns its end; stores into no more
// than TableValueMaxChars bytes from `out`.
char* formatTableValue(char* out, float value);

} // namespace orvex
