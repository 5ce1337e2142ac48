/*
 * The co-installer's entry: the library entry routine, CoInstallerE with its
 * answer to every installation request, the request-name table and the trace.
 */
#include <stdarg.h>
#include "coinstaller.h"

/* Trace text of every DIF code that has a name; NULL where SetupAPI has none. */
static const wchar_t *const g_difCodeNames[DIF_CODE_NAME_COUNT] = {
    NULL,                                      /* 0 */
    L"DIF_SELECTDEVICE\n",                     /* 1 */
    L"DIF_INSTALLDEVICE\n",                    /* 2 */
    L"DIF_ASSIGNRESOURCES\n",                  /* 3 */
    L"DIF_PROPERTIES\n",                       /* 4 */
    L"DIF_REMOVE\n",                           /* 5 */
    L"DIF_FIRSTTIMESETUP\n",                   /* 6 */
    L"DIF_FOUNDDEVICE\n",                      /* 7 */
    L"DIF_SELECTCLASSDRIVERS\n",               /* 8 */
    L"DIF_VALIDATECLASSDRIVERS\n",             /* 9 */
    L"DIF_INSTALLCLASSDRIVERS\n",              /* 10 */
    L"DIF_CALCDISKSPACE\n",                    /* 11 */
    L"DIF_DESTROYPRIVATEDATA\n",               /* 12 */
    L"DIF_VALIDATEDRIVER\n",                   /* 13 */
    L"DIF_MOVEDEVICE\n",                       /* 14 */
    L"DIF_DETECT\n",                           /* 15 */
    L"DIF_INSTALLWIZARD\n",                    /* 16 */
    L"DIF_DESTROYWIZARDDATA\n",                /* 17 */
    L"DIF_PROPERTYCHANGE\n",                   /* 18 */
    L"DIF_ENABLECLASS\n",                      /* 19 */
    L"DIF_DETECTVERIFY\n",                     /* 20 */
    L"DIF_INSTALLDEVICEFILES\n",               /* 21 */
    NULL,                                      /* 22 */
    L"DIF_SELECTBESTCOMPATDRV\n",              /* 23 */
    L"DIF_ALLOW_INSTALL\n",                    /* 24 */
    L"DIF_REGISTERDEVICE\n",                   /* 25 */
    L"DIF_NEWDEVICEWIZARD_PRESELECT\n",        /* 26 */
    L"DIF_NEWDEVICEWIZARD_SELECT\n",           /* 27 */
    L"DIF_NEWDEVICEWIZARD_PREANALYZE\n",       /* 28 */
    L"DIF_NEWDEVICEWIZARD_POSTANALYZE\n",      /* 29 */
    L"DIF_NEWDEVICEWIZARD_FINISHINSTALL\n",    /* 30 */
    NULL,                                      /* 31 */
    L"DIF_INSTALLINTERFACES\n",                /* 32 */
    L"DIF_DETECTCANCEL\n",                     /* 33 */
    L"DIF_REGISTER_COINSTALLERS\n",            /* 34 */
    L"DIF_ADDPROPERTYPAGE_ADVANCED\n",         /* 35 */
    L"DIF_ADDPROPERTYPAGE_BASIC\n",            /* 36 */
    NULL,                                      /* 37 */
    L"DIF_TROUBLESHOOTER\n",                   /* 38 */
    L"DIF_POWERMESSAGEWAKE\n",                 /* 39 */
};

static const wchar_t g_unknownDifCode[] = L"?????\n";

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}

/* One trace line: the tag, " : ", then the formatted text (which carries its
   own line end, or none). wvsprintfW writes at most 1024 units, so the line
   always fits. */
void DebugTrace(const wchar_t *format, ...)
{
    wchar_t line[TRACE_LINE_UNITS];
    va_list args;
    int prefix;

    lstrcpyW(line, TAG);
    lstrcatW(line, L" : ");
    prefix = lstrlenW(line);
    va_start(args, format);
    wvsprintfW(line + prefix, format, args);
    va_end(args);
    OutputDebugStringW(line);
}

const wchar_t *DifCodeName(DI_FUNCTION code)
{
    if (code < DIF_CODE_NAME_COUNT && g_difCodeNames[code] != NULL)
        return g_difCodeNames[code];
    return g_unknownDifCode;
}

/* Asks to be called again after the device installation, and then makes the
   installed printer the default one; never fails an installation, and leaves
   a failed one failed. */
extern "C" DWORD CALLBACK CoInstallerE(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                       PSP_DEVINFO_DATA DeviceInfoData,
                                       PCOINSTALLER_CONTEXT_DATA Context)
{
    BOOL postProcessing = (Context != NULL && Context->PostProcessing);

    if (InstallFunction != DIF_INSTALLDEVICE) {
        DebugTrace(L"%s", DifCodeName(InstallFunction));
        return NO_ERROR;
    }
    if (!postProcessing) {
        DebugTrace(L"DIF_INSTALLDEVICE\n");
        return ERROR_DI_POSTPROCESSING_REQUIRED;
    }
    DebugTrace(L"DIF_INSTALLDEVICE PostProcessing\n");
    /* A failed installation stays failed: the device installer passes this
       answer on as the installation's result, and a failed device's queue
       must not become anyone's default. */
    if (Context->InstallResult != NO_ERROR) {
        DebugTrace(L"DIF_INSTALLDEVICE PostProcessing : installation failed. GetLastError() = %d\n",
                   Context->InstallResult);
        return Context->InstallResult;
    }
    SetDefaultPrinterForInstalledDevice(DeviceInfoSet, DeviceInfoData);
    return NO_ERROR;
}
