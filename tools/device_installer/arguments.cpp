/*
 * The device_installer tool's command line.
 */
#include <stdlib.h>
#include <wchar.h>
#include "installer.h"
#include "notice.h"

static const wchar_t kUsage[] =
    L"usage: device_installer (--coinstaller DLL | --class-installer)\n"
    L"                        (--model NAME | --inf FILE) [--hardware-id ID]\n"
    L"                        [--port NAME | --port-unterminated NAME | --no-port]\n"
    L"                        [--post-processing [--install-result N]] [--timeout S]\n"
    L"                        [--log FILE]\n"
    L"       device_installer --install-package INF [--hardware-id ID]\n"
    L"                        [--port NAME | --no-port] [--timeout S] [--log FILE]\n"
    L"       device_installer --remove-device ID [--delete-inf] [--timeout S] [--log FILE]\n"
    L"       device_installer --uninstall-package INF [--section NAME] [--timeout S]\n"
    L"                        [--log FILE]\n"
    L"\n"
    L"Installs a ROOT\\PRINTER device the way the device installer drives\n"
    L"co-installers, then removes it again.\n"
    L"  --coinstaller DLL        load DLL and call its CoInstallerE(DIF_INSTALLDEVICE)\n"
    L"  --class-installer        call SetupDiCallClassInstaller(DIF_INSTALLDEVICE), which\n"
    L"                           runs the co-installers registered for the Printer class\n"
    L"  --model NAME             driver description of the generated INF's one model\n"
    L"  --inf FILE               use this INF instead (it must list the hardware ID)\n"
    L"  --hardware-id ID         hardware ID of the device (default TESTPRINTER_HWID;\n"
    L"                           with --install-package, the INF's first model's)\n"
    L"  --port NAME              the device's PortName (default USB001)\n"
    L"  --port-unterminated NAME the same, stored without a terminating zero\n"
    L"  --no-port                the device's Device Parameters key gets no PortName\n"
    L"  --post-processing        when CoInstallerE asks for it, call it again with\n"
    L"                           PostProcessing set (what Windows' installer does)\n"
    L"  --install-result N       InstallResult of that call (default 0)\n"
    L"  --log FILE               also write the report lines to FILE\n"
    L"\n"
    L"Driver packages:\n"
    L"  --install-package INF    install a new ROOT\\PRINTER device from the package's\n"
    L"                           INF: every class-installer request a device installer\n"
    L"                           makes, from DIF_REGISTERDEVICE to\n"
    L"                           DIF_NEWDEVICEWIZARD_FINISHINSTALL, so SetupAPI copies the\n"
    L"                           files, runs the INF's sections and calls the device's\n"
    L"                           co-installers. Under Wine, whose SetupAPI never calls a\n"
    L"                           co-installer back after the installation, the tool makes\n"
    L"                           that post-processing call itself (Windows makes it).\n"
    L"                           An installed device stays; the report names it. A\n"
    L"                           device whose installation failed is removed again.\n"
    L"  --remove-device ID       remove the device with this instance ID (DIF_REMOVE);\n"
    L"                           the package's files and registry values stay\n"
    L"  --delete-inf             then delete the device's INF copy in the INF folder;\n"
    L"                           when another device was installed from it, or that\n"
    L"                           cannot be told, the copy stays and the exit code is 1\n"
    L"                           (when the copy cannot be named, the device stays too)\n"
    L"  --uninstall-package INF  run the package's uninstall section (SPINST_ALL); INF\n"
    L"                           without a folder is in the current one\n"
    L"  --section NAME           that section (default Companions_Uninstall)\n"
    L"\n"
    L"  --timeout S              give up after S seconds (default 120), without waiting\n"
    L"                           for the step under way: a co-installer may never return,\n"
    L"                           and Wine's SetupAPI loops for ever when a copy's first\n"
    L"                           source file is missing\n"
    L"Nothing asks the user: SetupAPI runs non-interactive and the device installs\n"
    L"quietly, so what would show a prompt (a missing source file) fails with its error.\n"
    L"On Windows every mode needs an elevated administrator: each registers, installs\n"
    L"or removes a device, or changes files and values of the whole machine.\n"
    L"Exit code: 0 when every step was made, 1 when a step failed, 2 on bad usage,\n"
    L"3 when the time ran out.\n";

void ShowUsage(void)
{
    PutText(GetStdHandle(STD_ERROR_HANDLE), kUsage);
}

static int Bad(const wchar_t *what, const wchar_t *detail)
{
    Notice(L"%ls%ls", what, detail ? detail : L"");
    ShowUsage();
    return EXIT_USAGE;
}

int ParseArguments(int argc, wchar_t **argv, InstallerOptions *options)
{
    int i;
    int portChoices = 0;
    int packageModes = 0;

    ZeroMemory(options, sizeof(*options));
    options->mode = MODE_CALL_COINSTALLER;
    options->hardwareId = L"TESTPRINTER_HWID";
    options->portName = L"USB001";
    options->portForm = PORT_NAME_TERMINATED;
    options->section = L"Companions_Uninstall";
    options->timeoutSeconds = 120;

    for (i = 1; i < argc; i++) {
        const wchar_t *arg = argv[i];
        BOOL hasValue = (i + 1 < argc);
        if (wcscmp(arg, L"--help") == 0 || wcscmp(arg, L"-h") == 0 || wcscmp(arg, L"/?") == 0) {
            ShowUsage();
            return EXIT_USAGE;
        } else if (wcscmp(arg, L"--class-installer") == 0) {
            options->viaClassInstaller = TRUE;
        } else if (wcscmp(arg, L"--no-port") == 0) {
            options->portForm = PORT_NAME_NONE;
            portChoices++;
        } else if (wcscmp(arg, L"--delete-inf") == 0) {
            options->deleteInf = TRUE;
        } else if (wcscmp(arg, L"--post-processing") == 0) {
            options->postProcessing = TRUE;
        } else if (wcscmp(arg, L"--coinstaller") == 0 || wcscmp(arg, L"--model") == 0 ||
                   wcscmp(arg, L"--inf") == 0 || wcscmp(arg, L"--hardware-id") == 0 ||
                   wcscmp(arg, L"--port") == 0 || wcscmp(arg, L"--port-unterminated") == 0 ||
                   wcscmp(arg, L"--install-result") == 0 || wcscmp(arg, L"--log") == 0 ||
                   wcscmp(arg, L"--install-package") == 0 || wcscmp(arg, L"--remove-device") == 0 ||
                   wcscmp(arg, L"--uninstall-package") == 0 || wcscmp(arg, L"--section") == 0 ||
                   wcscmp(arg, L"--timeout") == 0) {
            const wchar_t *value;
            if (!hasValue)
                return Bad(L"missing value after ", arg);
            value = argv[++i];
            if (wcscmp(arg, L"--coinstaller") == 0) {
                options->coinstallerPath = value;
            } else if (wcscmp(arg, L"--model") == 0) {
                options->model = value;
            } else if (wcscmp(arg, L"--inf") == 0) {
                options->infPath = value;
            } else if (wcscmp(arg, L"--hardware-id") == 0) {
                options->hardwareId = value;
                options->hardwareIdGiven = TRUE;
            } else if (wcscmp(arg, L"--install-package") == 0 || wcscmp(arg, L"--uninstall-package") == 0 ||
                       wcscmp(arg, L"--remove-device") == 0) {
                if (packageModes++ > 0)
                    return Bad(L"give only one of --install-package, --remove-device and --uninstall-package",
                               NULL);
                if (wcscmp(arg, L"--remove-device") == 0) {
                    options->mode = MODE_REMOVE_DEVICE;
                    options->deviceId = value;
                } else {
                    options->mode = arg[2] == L'i' ? MODE_INSTALL_PACKAGE : MODE_UNINSTALL_PACKAGE;
                    options->packageInf = value;
                }
            } else if (wcscmp(arg, L"--section") == 0) {
                options->section = value;
            } else if (wcscmp(arg, L"--timeout") == 0) {
                wchar_t *end = NULL;
                unsigned long n = wcstoul(value, &end, 10);
                if (*value == L'\0' || end == NULL || *end != L'\0' || n == 0 || n > 86400)
                    return Bad(L"--timeout needs a number of seconds (1 to 86400), not ", value);
                options->timeoutSeconds = (DWORD)n;
            } else if (wcscmp(arg, L"--port") == 0) {
                options->portName = value;
                options->portForm = PORT_NAME_TERMINATED;
                portChoices++;
            } else if (wcscmp(arg, L"--port-unterminated") == 0) {
                options->portName = value;
                options->portForm = PORT_NAME_UNTERMINATED;
                portChoices++;
            } else if (wcscmp(arg, L"--install-result") == 0) {
                wchar_t *end = NULL;
                unsigned long n = wcstoul(value, &end, 0);
                if (*value == L'\0' || end == NULL || *end != L'\0')
                    return Bad(L"--install-result needs a number, not ", value);
                options->installResult = (DWORD)n;
            } else {
                options->logPath = value;
            }
        } else {
            return Bad(L"unknown argument ", arg);
        }
    }

    if (packageModes > 0) {
        if (options->coinstallerPath != NULL || options->viaClassInstaller || options->model != NULL ||
            options->infPath != NULL || options->postProcessing)
            return Bad(L"--coinstaller, --class-installer, --model, --inf and --post-processing do not go "
                       L"with a driver package's INF", NULL);
        if (portChoices > 1 || options->portForm == PORT_NAME_UNTERMINATED)
            return Bad(L"give at most one of --port and --no-port", NULL);
        if ((options->portForm != PORT_NAME_NONE && options->portName[0] == L'\0') ||
            options->hardwareId[0] == L'\0')
            return Bad(L"the port name or the hardware ID is empty", NULL);
        return 0;
    }
    if ((options->coinstallerPath != NULL) == (options->viaClassInstaller != FALSE))
        return Bad(L"give exactly one of --coinstaller DLL and --class-installer", NULL);
    if ((options->model != NULL) == (options->infPath != NULL))
        return Bad(L"give exactly one of --model NAME and --inf FILE", NULL);
    if (options->model != NULL && options->model[0] == L'\0')
        return Bad(L"the model name is empty", NULL);
    if (options->hardwareId[0] == L'\0')
        return Bad(L"the hardware ID is empty", NULL);
    if (portChoices > 1)
        return Bad(L"give at most one of --port, --port-unterminated and --no-port", NULL);
    if (options->portForm != PORT_NAME_NONE && options->portName[0] == L'\0')
        return Bad(L"the port name is empty (use --no-port for none)", NULL);
    if (options->viaClassInstaller && options->postProcessing)
        return Bad(L"--post-processing is the stand-in's own call; with --class-installer the "
                   L"device installer decides", NULL);
    return 0;
}
