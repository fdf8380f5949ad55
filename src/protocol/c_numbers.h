#ifndef C_NUMBERS_H
#define C_NUMBERS_H

// Number parsing exactly as strtod and strtol (base 10) do it, but always in the "C" locale:
// the protocols write a point as decimal separator whatever LC_NUMERIC the desktop session
// has set, and the locale the process asks for may not be installed.
namespace cnumbers
{

double ParseDouble(const char* text, char** end);
long ParseLong(const char* text, char** end);

} // namespace cnumbers

#endif // C_NUMBERS_H
