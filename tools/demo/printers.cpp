/*
 * The print queue the co-installer is to find: a driver named after the
 * installed model (on Wine's PostScript driver files) and a queue using it
 * on the device's port.
 */
#include "demo.h"
#include "device_setup.h"
#include <winspool.h>

int AddDemoPrinter(const wchar_t *printer, const wchar_t *driver, const wchar_t *port)
{
    DWORD error = AddSpoolerDriver(driver);

    if (error != NO_ERROR) {
        Notice(L"AddPrinterDriverEx(%ls) failed, error %lu", driver, error);
        return EXIT_FAILED;
    }
    DeleteSpoolerQueue(printer);   /* left over from an interrupted run */
    if ((error = AddSpoolerQueue(printer, driver, port)) != NO_ERROR) {
        Notice(L"AddPrinter(%ls) failed, error %lu", printer, error);
        return EXIT_FAILED;
    }
    Say(L"print queue \"%ls\": driver \"%ls\", port %ls", printer, driver, port);
    return EXIT_OK;
}

int RemoveDemoPrinter(const wchar_t *printer, const wchar_t *driver)
{
    DeleteSpoolerQueue(printer);
    DeletePrinterDriverW(NULL, NULL, (wchar_t *)driver);
    Say(L"print queue \"%ls\" removed", printer);
    return EXIT_OK;
}
