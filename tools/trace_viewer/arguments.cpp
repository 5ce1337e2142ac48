/*
 * The trace viewer's command line.
 */
#include <wchar.h>
#include "viewer.h"

static const wchar_t kUsage[] =
    L"usage: trace_viewer [options]\n"
    L"Shows debug output as it is sent, one line per trace: local time, channel,\n"
    L"process id, text. Line ends inside a trace are shown as \\n.\n"
    L"It listens on two channels at once; the mark after the time says which:\n"
    L"  S  this session's: the processes of the viewer's own session (the desktop)\n"
    L"  G  the global one: the processes of session 0, services and the device\n"
    L"     installer (with the co-installers it loads) among them; to have it, an\n"
    L"     account needs the right to create global objects: run the viewer as\n"
    L"     administrator. Without it the viewer says so and shows S alone.\n"
    L"Options:\n"
    L"  --tag TAG        show only traces that begin with TAG (letter case ignored);\n"
    L"                   give it again for more tags\n"
    L"  --count N        stop after N lines shown (of both channels together)\n"
    L"  --duration MS    stop after MS milliseconds\n"
    L"  --until TEXT     stop after the first line shown that contains TEXT\n"
    L"  --session-only   listen on this session's channel only (S)\n"
    L"  --global-only    listen on the global channel only (G)\n"
    L"  --flush          write every line out at once (otherwise when the channels are quiet)\n"
    L"  --log FILE       also write the lines to FILE (replaced), in UTF-8\n"
    L"  --quiet          no notice on standard error when listening starts\n"
    L"  --help           this text\n"
    L"Ctrl+C stops it. Only one debug-output viewer can listen on a channel at a time;\n"
    L"when one channel is held or not allowed, the viewer says so and goes on with the other.\n"
    L"Exit codes: 0 stopped as asked, 1 bad command line, 2 no channel asked for could\n"
    L"be had (held by another viewer, or not allowed), 3 a channel or the log file could\n"
    L"not be set up (or the log not written), 4 --duration ran out before --count or\n"
    L"--until was met.\n";

static int Bad(const wchar_t *what, const wchar_t *detail)
{
    Notice(L"%ls%ls (--help shows the options)", what, detail ? detail : L"");
    return EXIT_USAGE;
}

/* A whole decimal number up to 0x7FFFFFFF. */
static BOOL ParseNumber(const wchar_t *text, DWORD *out)
{
    unsigned long long value = 0;
    if (!*text)
        return FALSE;
    for (; *text; text++) {
        if (*text < L'0' || *text > L'9')
            return FALSE;
        value = value * 10 + (unsigned)(*text - L'0');
        if (value > 0x7FFFFFFF)
            return FALSE;
    }
    *out = (DWORD)value;
    return TRUE;
}

int ParseArguments(int argc, wchar_t **argv, ViewerOptions *options, BOOL *helpShown)
{
    ZeroMemory(options, sizeof(*options));
    options->bListen[CHANNEL_SESSION] = options->bListen[CHANNEL_GLOBAL] = TRUE;
    *helpShown = FALSE;
    for (int i = 1; i < argc; i++) {
        const wchar_t *arg = argv[i];
        const wchar_t *value = (i + 1 < argc) ? argv[i + 1] : NULL;

        if (wcscmp(arg, L"--help") == 0 || wcscmp(arg, L"/?") == 0) {
            PutText(GetStdHandle(STD_OUTPUT_HANDLE), kUsage);
            *helpShown = TRUE;
            return EXIT_OK;
        } else if (wcscmp(arg, L"--flush") == 0) {
            options->bFlushEachLine = TRUE;
        } else if (wcscmp(arg, L"--quiet") == 0) {
            options->bQuiet = TRUE;
        } else if (wcscmp(arg, L"--session-only") == 0 || wcscmp(arg, L"--global-only") == 0) {
            int other = wcscmp(arg, L"--session-only") == 0 ? CHANNEL_GLOBAL : CHANNEL_SESSION;
            if (!options->bListen[1 - other])
                return Bad(L"--session-only and --global-only exclude each other", NULL);
            options->bListen[other] = FALSE;
        } else if (wcscmp(arg, L"--tag") == 0 || wcscmp(arg, L"--count") == 0 ||
                   wcscmp(arg, L"--duration") == 0 || wcscmp(arg, L"--until") == 0 ||
                   wcscmp(arg, L"--log") == 0) {
            if (value == NULL)
                return Bad(L"missing value after ", arg);
            i++;
            if (wcscmp(arg, L"--tag") == 0) {
                if (!*value)
                    return Bad(L"empty tag", NULL);
                if (options->nTags == MAX_TAGS)
                    return Bad(L"too many tags", NULL);
                options->tags[options->nTags++] = value;
            } else if (wcscmp(arg, L"--count") == 0) {
                if (!ParseNumber(value, &options->dwCount) || options->dwCount == 0)
                    return Bad(L"--count needs a number above 0, not ", value);
            } else if (wcscmp(arg, L"--duration") == 0) {
                if (!ParseNumber(value, &options->dwDurationMs) || options->dwDurationMs == 0)
                    return Bad(L"--duration needs milliseconds above 0, not ", value);
            } else if (wcscmp(arg, L"--until") == 0) {
                if (!*value)
                    return Bad(L"empty --until text", NULL);
                options->strUntil = value;
            } else {
                options->strLogPath = value;
            }
        } else {
            return Bad(L"unknown argument ", arg);
        }
    }
    return EXIT_OK;
}
