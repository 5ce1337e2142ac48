/*
 * Test support: what the tests that install may leave on the machine when
 * they are stopped (a failed assertion, a crash, a killed run), found and
 * removed, so that no run fails the next one. Only what the tests themselves
 * make is touched: their ROOT\PRINTER devices and INF copies, the sample
 * package's files and Run value, queues and drivers named as the tests name
 * them, guards and soak clients still running, the Printer class co-installer value when it
 * names a file of this build, and the per-program settings made under Wine.
 */
#ifndef LEFTOVERS_H
#define LEFTOVERS_H

#include <string>
#include <vector>

/* Removes every ROOT\PRINTER device (and its INF copy) through the stand-in
   device installer; what was found goes to *found, what stays to *stayed. */
void RemovePrinterDevices(std::vector<std::wstring> *found, std::vector<std::wstring> *stayed);

/* Removes all of the above; true when nothing stays. */
bool RemoveTestLeftovers(std::vector<std::wstring> *found, std::vector<std::wstring> *stayed);

#endif /* LEFTOVERS_H */
