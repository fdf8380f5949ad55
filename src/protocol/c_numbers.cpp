#include "c_numbers.h"

#include <charconv>
#include <cstdlib>
#include <locale.h>
#include <system_error>

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
// most of the decoder's time on them. std::from_chars reads them exactly as strtod does, without
// a locale; it knows no blanks, '+', hex or nan payload rules of its own, so a field that
// begins otherwise, a number that runs into an 'x' and one out of range are left to strtod_l.
bool ParseDecimal(const char* text, double* value, char** end)
{
    const char* first = text + (*text == '-');
    if (!IsDigit(*first) && !(*first == '.' && IsDigit(first[1])))
        return false;
    const char* last = first;
    while (IsDigit(*last) || *last == '.' || *last == 'e' || *last == 'E' || *last == '+' ||
           *last == '-')
        ++last;
    const auto [next, error] = std::from_chars(text, last, *value);
    if (error != std::errc() || *next == 'x' || *next == 'X')
        return false;
    if (end != nullptr)
        *end = const_cast<char*>(next);
    return true;
}

} // namespace

double ParseDouble(const char* text, char** end)
{
    double value;
    if (ParseDecimal(text, &value, end))
        return value;
    return strtod_l(text, end, CLocale());
}

long ParseLong(const char* text, char** end)
{
    return strtol_l(text, end, 10, CLocale());
}

} // namespace cnumbers
