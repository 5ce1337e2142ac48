/*
 * Reading the stand-in port client's arguments: port values (decimal or
 * 0x-hexadecimal, pointer-sized), millisecond counts and build tags. Every
 * reader takes the whole text or refuses it.
 */
#include "client.h"

/* Largest accepted time: bounded, and never INFINITE. */
#define MAX_MILLISECONDS  0x7FFFFFFFu

static int DigitValue(wchar_t c, int base)
{
    int value;
    if (c >= L'0' && c <= L'9')
        value = c - L'0';
    else if (c >= L'a' && c <= L'f')
        value = c - L'a' + 10;
    else if (c >= L'A' && c <= L'F')
        value = c - L'A' + 10;
    else
        return -1;
    return value < base ? value : -1;
}

/* An unsigned number of at most max, decimal or with a 0x prefix. */
static BOOL ParseUnsigned(const wchar_t *text, ULONG_PTR max, ULONG_PTR *out)
{
    ULONG_PTR value = 0;
    int base = 10;

    if (!text || !*text)
        return FALSE;
    if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        base = 16;
        text += 2;
        if (!*text)
            return FALSE;
    }
    for (; *text; text++) {
        int digit = DigitValue(*text, base);
        if (digit < 0)
            return FALSE;
        if (value > (max - (ULONG_PTR)digit) / (ULONG_PTR)base)
            return FALSE;   /* too large */
        value = value * (ULONG_PTR)base + (ULONG_PTR)digit;
    }
    *out = value;
    return TRUE;
}

BOOL ParsePort(const wchar_t *text, ULONG_PTR *port)
{
    return ParseUnsigned(text, ~(ULONG_PTR)0, port);
}

BOOL ParseMilliseconds(const wchar_t *text, DWORD *ms)
{
    ULONG_PTR value;
    if (!ParseUnsigned(text, MAX_MILLISECONDS, &value))
        return FALSE;
    *ms = (DWORD)value;
    return TRUE;
}

/* A build tag names a window class and is part of object names: letters and
   digits only, at most 64 of them. */
BOOL IsValidTag(const wchar_t *text)
{
    int n = 0;
    if (!text)
        return FALSE;
    for (; text[n]; n++) {
        wchar_t c = text[n];
        if (n >= 64 || !((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9')))
            return FALSE;
    }
    return n > 0;
}
