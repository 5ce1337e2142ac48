/*
 * The printer device as the device installer builds it before it installs a
 * driver, for every mode of the device_installer tool, the bench and the
 * co-installer's tests: a device information set of class Printer with one
 * generated device, registered, with a "PortName" in its hardware key and
 * the best compatible driver of one INF selected. Each request goes through
 * the class installer, and quietly: what would ask the user fails instead.
 * With it, what a co-installer needs around the device: its entry point and,
 * under Wine, a print queue of the installed model.
 */
#ifndef DEVICE_SETUP_H
#define DEVICE_SETUP_H

#include <windows.h>
#include <setupapi.h>

#define DEVICE_TEXT_UNITS 512

/* How the device's "PortName" is stored. */
enum PortNameForm {
    PORT_NAME_NONE,            /* a "Device Parameters" key without the value */
    PORT_NAME_TERMINATED,      /* REG_SZ with its terminator counted */
    PORT_NAME_UNTERMINATED,    /* REG_SZ whose stored data ends without a zero */
    PORT_NAME_ODD_BYTE         /* REG_SZ of the text and one byte more ('Y'), no zero:
                                  an odd byte count, half a unit at the end */
};

struct PrinterDevice {
    HDEVINFO hSet;
    SP_DEVINFO_DATA data;
    BOOL registered;           /* the device is registered: removing it takes DIF_REMOVE */
    wchar_t instanceId[DEVICE_TEXT_UNITS];
    wchar_t error[DEVICE_TEXT_UNITS];   /* what failed, for the caller to show */
};

/* A co-installer's entry point. */
typedef DWORD (CALLBACK *CoInstallerProc)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA);

/* Writes an INF with one manufacturer and one model line, the model's name
   and hardware ID quoted as INF strings (neither may hold a line break). */
BOOL WriteModelInf(const wchar_t *infPath, const wchar_t *model, const wchar_t *hardwareId,
                   wchar_t *error, int errorUnits);

/* Creates the device with its hardware ID, registers it (DIF_REGISTERDEVICE),
   gives it its "PortName" and selects the best compatible driver of infPath
   (DIF_SELECTBESTCOMPATDRV), which must stay on disk while the device lives.
   On failure whatever was made is left in device for RemovePrinterDevice. */
BOOL CreatePrinterDevice(PrinterDevice *device, const wchar_t *infPath, const wchar_t *hardwareId,
                         const wchar_t *portName, PortNameForm form);

/* A registered device, by its instance ID. */
BOOL OpenPrinterDevice(PrinterDevice *device, const wchar_t *instanceId);

/* The description of the selected driver. */
BOOL GetSelectedModel(PrinterDevice *device, wchar_t *model, int units);

/* Gives the device its "PortName" in the chosen form, through the key
   SetupAPI opens for the device's hardware settings. */
BOOL SetDevicePortName(PrinterDevice *device, const wchar_t *portName, PortNameForm form);

/* Removes a registered device (DIF_REMOVE) and frees the set; FreePrinterDevice
   frees it and leaves the device as it is. */
BOOL RemovePrinterDevice(PrinterDevice *device);
void FreePrinterDevice(PrinterDevice *device);

/* Loads a co-installer DLL and finds its entry point; NULL with the reason in
   error (DEVICE_TEXT_UNITS). */
CoInstallerProc LoadCoInstaller(const wchar_t *path, const wchar_t *entryPoint, HMODULE *library,
                                wchar_t *error);

/* A printer driver of the given name on Wine's PostScript driver files (so
   under Wine only), and a queue on it: NO_ERROR or the spooler's error. */
DWORD AddSpoolerDriver(const wchar_t *driver);
DWORD AddSpoolerQueue(const wchar_t *printer, const wchar_t *driver, const wchar_t *port);
void DeleteSpoolerQueue(const wchar_t *printer);

#endif /* DEVICE_SETUP_H */
