#include "c_numbers.h"

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

} // namespace

double ParseDouble(const char* text, char** end)
{
    return strtod_l(text, end, CLocale());
}

long ParseLong(const char* text, char** end)
{
    return strtol_l(text, end, 10, CLocale());
}

} // namespace cnumbers
