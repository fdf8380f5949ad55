#include "c_numbers.h"

#include <cstdint>
#include <cstdlib>
#include <locale.h>

namespace cnumbers
{

namespace
{

locale_t CLocale()
{
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return locale;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The measurement stream is mostly short plain decimals such as -12.345, and strtod_l spends
// most of the decoder's time on them. With a mantissa of at most 2^53 and at most 22 decimals,
// mantissa and power of ten are exact doubles, so one division rounds exactly as strtod does.
// Everything else (blanks, exponents, hex, words, long numbers) is left to strtod_l.
bool ParsePlainDecimal(const char* text, double* value, char** end)
{
    static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const char* next = text;
    const bool negative = *next == '-';
    if (*next == '-' || *next == '+')
        ++next;
    uint64_t mantissa = 0;
    int digits = 0;
    int decimals = 0;
    for (; IsDigit(*next) && digits <= 19; ++next, ++digits)
        mantissa = mantissa * 10 + uint64_t(*next - '0');
    if (*next == '.')
        for (++next; IsDigit(*next) && digits <= 19; ++next, ++digits, ++decimals)
            mantissa = mantissa * 10 + uint64_t(*next - '0');
    const bool plain = digits > 0 && digits <= 19 && decimals <= 22 && !IsDigit(*next) &&
                       *next != 'e' && *next != 'E' && *next != 'x' && *next != 'X' &&
                       mantissa <= uint64_t(1) << 53;
    if (!plain)
        return false;
    const double magnitude = double(mantissa) / kPowersOfTen[decimals];
    *value = negative ? -magnitude : magnitude;
    if (end != nullptr)
        *end = const_cast<char*>(next);
    return true;
}

} // namespace

double ParseDouble(const char* text, char** end)
{
    double value;
    if (ParsePlainDecimal(text, &value, end))
        return value;
    return strtod_l(text, end, CLocale());
}

long ParseLong(const char* text, char** end)
{
    return strtol_l(text, end, 10, CLocale());
}

} // namespace cnumbers
