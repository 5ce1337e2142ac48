/*
 * Bounded formatting of registry key paths from a format holding one "%s"
 * and a name of any length. A path that does not fit is not formatted.
 */
#include "coinstaller.h"

/* Writes format with its "%s" replaced by name into path (units wide,
   terminator included). ERROR_FILENAME_EXCED_RANGE when it does not fit; the
   path is then left empty. */
DWORD FormatKeyPath(wchar_t *path, int units, const wchar_t *format, const wchar_t *name)
{
    int used = 0;
    DWORD status = NO_ERROR;
    const wchar_t *from;

    if (name == NULL)
        name = L"";
    for (from = format; *from != L'\0' && status == NO_ERROR; from++) {
        if (from[0] == L'%' && from[1] == L's') {
            const wchar_t *part;
            for (part = name; *part != L'\0' && used < units; part++)
                path[used++] = *part;
            if (*part != L'\0')
                status = ERROR_FILENAME_EXCED_RANGE;
            from++;
        } else if (used < units) {
            path[used++] = *from;
        } else {
            status = ERROR_FILENAME_EXCED_RANGE;
        }
    }
    if (status == NO_ERROR && used >= units)
        status = ERROR_FILENAME_EXCED_RANGE;
    if (status == NO_ERROR)
        path[used] = L'\0';
    else if (units > 0)
        path[0] = L'\0';
    return status;
}
