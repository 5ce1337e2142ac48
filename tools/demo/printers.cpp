/*
 * The print queue the co-installer is to find: a driver named after the
 * installed model (on Wine's PostScript driver files) and a queue using it
 * on the device's port.
 */
#include "demo.h"
#include <winspool.h>

static void DeleteQueue(const wchar_t *printer)
{
    PRINTER_DEFAULTSW defaults = { NULL, NULL, PRINTER_ALL_ACCESS };
    HANDLE h = NULL;
    if (OpenPrinterW((wchar_t *)printer, &h, &defaults)) {
        DeletePrinter(h);
        ClosePrinter(h);
    }
}

int AddDemoPrinter(const wchar_t *printer, const wchar_t *driver, const wchar_t *port)
{
    DRIVER_INFO_3W driverInfo;
    PRINTER_INFO_2W printerInfo;
    HANDLE h;

    ZeroMemory(&driverInfo, sizeof(driverInfo));
    driverInfo.cVersion = 3;
    driverInfo.pName = (wchar_t *)driver;
    driverInfo.pDriverPath = (wchar_t *)L"wineps.drv";
    driverInfo.pDataFile = (wchar_t *)L"wineps.drv";
    driverInfo.pConfigFile = (wchar_t *)L"wineps.drv";
    if (!AddPrinterDriverExW(NULL, 3, (BYTE *)&driverInfo, APD_COPY_NEW_FILES)) {
        Notice(L"AddPrinterDriverEx(%ls) failed, error %lu", driver, GetLastError());
        return EXIT_FAILED;
    }
    DeleteQueue(printer);   /* left over from an interrupted run */
    ZeroMemory(&printerInfo, sizeof(printerInfo));
    printerInfo.pPrinterName = (wchar_t *)printer;
    printerInfo.pPortName = (wchar_t *)port;
    printerInfo.pDriverName = (wchar_t *)driver;
    printerInfo.pPrintProcessor = (wchar_t *)L"WinPrint";
    printerInfo.pDatatype = (wchar_t *)L"RAW";
    h = AddPrinterW(NULL, 2, (BYTE *)&printerInfo);
    if (h == NULL) {
        Notice(L"AddPrinter(%ls) failed, error %lu", printer, GetLastError());
        return EXIT_FAILED;
    }
    ClosePrinter(h);
    Say(L"print queue \"%ls\": driver \"%ls\", port %ls", printer, driver, port);
    return EXIT_OK;
}

int RemoveDemoPrinter(const wchar_t *printer, const wchar_t *driver)
{
    DeleteQueue(printer);
    DeletePrinterDriverW(NULL, NULL, (wchar_t *)driver);
    Say(L"print queue \"%ls\" removed", printer);
    return EXIT_OK;
}
