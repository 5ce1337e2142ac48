/*
 * Building and removing the printer device the way the device installer
 * does before it calls co-installers: a device information set of class
 * Printer with one generated device, a compatible driver from a small INF
 * chosen as its driver, and a "PortName" under its "Device Parameters" key.
 * Used by the device_installer tool, the bench and the co-installer's tests.
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
    BOOL created;              /* the device exists and must be removed */
    BOOL driversBuilt;
    wchar_t instanceId[DEVICE_TEXT_UNITS];
    wchar_t error[DEVICE_TEXT_UNITS];   /* what failed, for the caller to show */
};

/* Writes an INF with one manufacturer and one model line. */
BOOL WriteModelInf(const wchar_t *infPath, const wchar_t *model, const wchar_t *hardwareId,
                   wchar_t *error, int errorUnits);

/* Creates the device and selects the best compatible driver from infPath
   (which must stay on disk while the device lives). On failure whatever was
   made is left in device for RemovePrinterDevice. */
BOOL CreatePrinterDevice(PrinterDevice *device, const wchar_t *infPath, const wchar_t *hardwareId);

/* The description of the selected driver. */
BOOL GetSelectedModel(PrinterDevice *device, wchar_t *model, int units);

/* Gives the device its "PortName" in the chosen form. */
BOOL SetDevicePortName(PrinterDevice *device, const wchar_t *portName, PortNameForm form);

/* Removes the device (registry included) and frees the set. */
BOOL RemovePrinterDevice(PrinterDevice *device);

#endif /* DEVICE_SETUP_H */
