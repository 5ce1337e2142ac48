/* placeholder: the co-installer entry is being written */
#include <windows.h>
#include <setupapi.h>
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
extern "C" DWORD CALLBACK CoInstallerE(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA) { return NO_ERROR; }
