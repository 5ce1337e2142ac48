/*
 * WinMain run on a thread of the test: the window it makes asks for the
 * suspend and resume notifications with its own handle, says nothing when
 * that works, and traces a refusal and serves on.
 */
#include "guard_handler_fixture.h"

namespace handlers {
namespace {

DWORD WINAPI RunWinMain(void *)
{
    return (DWORD)WinMain(GetModuleHandleW(NULL), NULL, (LPSTR)"", SW_SHOWNORMAL);
}

class GuardWindow : public HandlerTest {};

TEST_F(GuardWindow, AsksForSuspendResumeNotificationsWithItsWindowAndTracesOnlyARefusal)
{
    for (DWORD error : { (DWORD)0, (DWORD)ERROR_ACCESS_DENIED }) {
        ResetGuardSeams();
        g_guardSeams.suspendRecipient = (HANDLE)(ULONG_PTR)0xdeadbeef;
        g_guardSeams.suspendFlags = 0xdeadbeef;
        g_guardSeams.suspendRegistrationError = error;
        g_nOsVersionKnown = 0;
        Lines();

        HANDLE thread = CreateThread(NULL, 0, RunWinMain, NULL, 0, NULL);
        ASSERT_NE((HANDLE)NULL, thread) << GetLastError();
        HWND window = NULL;
        for (int i = 0; i < 1000 && !window; i++) {
            window = FindWindowW(TAG, TAG);
            if (!window)
                Sleep(10);
        }
        ASSERT_NE((HWND)NULL, window) << "no window, error " << error;
        /* Answered only once the thread is in its message loop, past the call. */
        DWORD_PTR answer = 0xdeadbeef;
        EXPECT_NE(0, (int)SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, 10000, &answer));

        EXPECT_EQ(1, g_guardSeams.suspendRegistrations) << "error " << error;
        EXPECT_EQ((HANDLE)window, g_guardSeams.suspendRecipient);
        EXPECT_EQ((DWORD)DEVICE_NOTIFY_WINDOW_HANDLE, g_guardSeams.suspendFlags);
        std::vector<std::wstring> expected = {
            L"--------------------------------------- WinMain ---------------------------\n",
            L"WinMain() : SecurityDescriptor : SUCCESS\n",
            std::wstring(L"WinMain() : CreateEvent(Global\\") + TAG + L".OnlyOneInstance) SUCCESS\n",
        };
        if (error)
            expected.push_back(L"WinMain() : RegisterSuspendResumeNotification() failed. GetLastError() = " +
                               std::to_wstring(error) + L"\n");
        SendMessageTimeoutW(window, WM_POWUNREGISTER, 7, 0, SMTO_BLOCK, 10000, &answer);
        Append(&expected, { L"OnPowUnregister ....Entering() :.......\n" });
        Append(&expected, DumpLines(L"OnPowUnregister()"));
        Append(&expected, { L"OnPowUnregister ....Exiting() :.......\n" });
        EXPECT_EQ(expected, Lines()) << Show(expected);

        PostMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
        DWORD code = 0xdeadbeef;
        GetExitCodeThread(thread, &code);
        EXPECT_EQ(0u, code);
        CloseHandle(thread);
    }
}

}  // namespace
}  // namespace handlers
