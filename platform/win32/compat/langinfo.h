#pragma once
// The ANSI code page is what "the locale's encoding" is on Windows.
#include <locale.h>

typedef struct MorvaneLocale* locale_t;
#define LC_CTYPE_MASK 1
#define CODESET 14

#ifdef __cplusplus
extern "C" {
#endif
locale_t newlocale(int mask, const char* name, locale_t base);
void freelocale(locale_t locale);
// "CP<ANSI code page>"
const char* nl_langinfo_l(int item, locale_t locale);
#ifdef __cplusplus
}
#endif
