/*
 * The guard's hidden window, found by its tag: waiting for it, and sending
 * it what the system would (power broadcasts) and what ends it (WM_CLOSE).
 */
#include <wchar.h>
#include "demo.h"

struct PowerEventName {
    const wchar_t *name;
    WPARAM code;
};

static const PowerEventName kPowerEvents[] = {
    { L"PBT_APMQUERYSUSPEND", 0 },        { L"PBT_APMQUERYSUSPENDFAILED", 2 },
    { L"PBT_APMSUSPEND", 4 },             { L"PBT_APMRESUMESUSPEND", 7 },
    { L"PBT_APMBATTERYLOW", 9 },          { L"PBT_APMPOWERSTATUSCHANGE", 10 },
    { L"PBT_APMRESUMEAUTOMATIC", 18 },
};

/* Longest wait for the guard's answer: its suspend wait is at most 17.5 s. */
#define ANSWER_MS 30000

static HWND FindGuard(const wchar_t *tag)
{
    return FindWindowW(tag, tag);
}

int WaitGuardWindow(const wchar_t *tag, DWORD timeoutMs)
{
    ULONGLONG start = GetTickCount64();
    for (;;) {
        if (FindGuard(tag)) {
            Say(L"guard window %ls found", tag);
            return EXIT_OK;
        }
        if (GetTickCount64() - start >= timeoutMs)
            break;
        Sleep(50);
    }
    Notice(L"no window of class %ls within %lu ms", tag, timeoutMs);
    return EXIT_FAILED;
}

int SendBroadcast(const wchar_t *tag, const wchar_t *event)
{
    HWND window = FindGuard(tag);
    DWORD_PTR answer = 0;
    WPARAM code = 0;
    BOOL known = FALSE;

    for (size_t i = 0; i < sizeof(kPowerEvents) / sizeof(kPowerEvents[0]); i++)
        if (_wcsicmp(event, kPowerEvents[i].name) == 0) {
            code = kPowerEvents[i].code;
            known = TRUE;
        }
    if (!known) {
        Notice(L"unknown power event %ls", event);
        return EXIT_USAGE;
    }
    if (!window) {
        Notice(L"no window of class %ls", tag);
        return EXIT_FAILED;
    }
    if (!SendMessageTimeoutW(window, WM_POWERBROADCAST, code, 0, SMTO_NORMAL, ANSWER_MS, &answer)) {
        Notice(L"%ls did not answer WM_POWERBROADCAST(%ls) within %u ms", tag, event, ANSWER_MS);
        return EXIT_FAILED;
    }
    Say(L"WM_POWERBROADCAST(%ls) answered 0x%IX%ls", event, answer,
        answer == BROADCAST_QUERY_DENY ? L" (BROADCAST_QUERY_DENY)" : answer == TRUE ? L" (TRUE)" : L"");
    return EXIT_OK;
}

int CloseGuardWindow(const wchar_t *tag)
{
    HWND window = FindGuard(tag);
    DWORD_PTR answer = 0;
    if (!window) {
        Notice(L"no window of class %ls", tag);
        return EXIT_FAILED;
    }
    if (!SendMessageTimeoutW(window, WM_CLOSE, 0, 0, SMTO_NORMAL, ANSWER_MS, &answer)) {
        Notice(L"%ls did not answer WM_CLOSE within %u ms", tag, ANSWER_MS);
        return EXIT_FAILED;
    }
    Say(L"WM_CLOSE sent to %ls", tag);
    return EXIT_OK;
}
