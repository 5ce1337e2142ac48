/*
 * Co-installers that misbehave, for the device installer's tests: one that
 * never returns from its first call (what the time-out is for), and one that
 * fails every installation in post-processing.
 */
#include <windows.h>
#include <setupapi.h>

__declspec(dllexport) DWORD CALLBACK CoInstallerE(DI_FUNCTION code, HDEVINFO set, PSP_DEVINFO_DATA device,
                                                  PCOINSTALLER_CONTEXT_DATA context)
{
    (void)code, (void)set, (void)device, (void)context;
    Sleep(INFINITE);
    return NO_ERROR;
}

__declspec(dllexport) DWORD CALLBACK FailsInstallation(DI_FUNCTION code, HDEVINFO set, PSP_DEVINFO_DATA device,
                                                       PCOINSTALLER_CONTEXT_DATA context)
{
    (void)set, (void)device;
    if (code != DIF_INSTALLDEVICE)
        return NO_ERROR;
    return context->PostProcessing ? ERROR_INVALID_DATA : ERROR_DI_POSTPROCESSING_REQUIRED;
}
