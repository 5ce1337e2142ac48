/*
 * A program built like the deliverables (their compiler and link flags, their
 * load config) for the stack cookie test: it copies its argument into an
 * eight-character local buffer, then writes "returned". "fits" fits; a long
 * argument overruns the buffer, and the cookie check must end the process
 * before the copy returns. The exception handlers it installs write that they
 * ran: the fail-fast must leave them out.
 */
#include <windows.h>

static void Say(const char *text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, lstrlenA(text), &written, NULL);
}

static LONG CALLBACK OnVectoredException(EXCEPTION_POINTERS *)
{
    Say("vectored exception handler ran\n");
    return EXCEPTION_CONTINUE_SEARCH;
}

static LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS *)
{
    Say("unhandled-exception filter ran\n");
    return EXCEPTION_CONTINUE_SEARCH;
}

/* Copies without a bound: the fault under test. */
static __attribute__((noinline)) int CopyIntoLocal(const wchar_t *text)
{
    wchar_t local[8];
    int i = 0;
    for (; text[i] != L'\0'; i++)
        local[i] = text[i];
    local[i] = L'\0';
    return lstrlenW(local);
}

int wmain(int argc, wchar_t **argv)
{
    AddVectoredExceptionHandler(1, OnVectoredException);
    SetUnhandledExceptionFilter(OnUnhandledException);
    if (argc != 2)
        return 2;
    CopyIntoLocal(argv[1]);
    Say("returned\n");
    return 0;
}
