/*
 * The co-installer's seams as the fuzz test builds them: the same counting
 * wrappers (coinstaller_seams.h), but every fixed global-memory block ends at
 * the end of a page that is followed by an inaccessible page, so a read or
 * write one byte past a block faults at once; and the printer list comes from
 * the test, so its records may hold null fields and names of any length.
 */
#ifndef COINSTALLER_FUZZ_SEAMS_H
#define COINSTALLER_FUZZ_SEAMS_H

#include <windows.h>
#include <string>
#include <vector>

/* The byte a new block is filled with, and the one a registry query writes
   into the room it leaves after the data (neither platform promises zeros). */
const BYTE kFuzzBlockFill = 0x5A;
const BYTE kFuzzQueryFill = 0x51;

struct FuzzPrinter {
    bool hasName, hasDriver, hasPort;
    std::wstring name, driver, port;
};

struct FuzzSeams {
    bool fakePrinters;                   /* EnumPrintersW answers from printers */
    std::vector<FuzzPrinter> printers;
    int liveBlocks;                      /* guarded blocks not freed yet */
    int foreignFrees;                    /* GlobalFree of something that is not a live block */
};

extern FuzzSeams g_fuzzSeams;

/* Clears the counters of both records (the live-block count stays). */
void ResetFuzzSeams(void);

#endif /* COINSTALLER_FUZZ_SEAMS_H */
