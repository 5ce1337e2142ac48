/*
 * The co-installer's declarations for its unit tests. The seams' names are
 * undefined again here, so a test's own registry and memory calls do not
 * count as the co-installer's.
 */
#ifndef COINSTALLER_UNDER_TEST_H
#define COINSTALLER_UNDER_TEST_H

#include "coinstaller.h"

#undef GlobalAlloc
#undef GlobalFree
#undef EnumPrintersW
#undef RegOpenKeyExW
#undef RegCloseKey
#undef RegQueryValueExW
#undef RegSetValueExW

/* Nothing the co-installer took is still held. */
#define EXPECT_NOTHING_LEAKED()                                                          \
    do {                                                                                 \
        EXPECT_EQ(g_coinstallerSeams.globalAllocSucceeded, g_coinstallerSeams.globalFreeCalls) \
            << "global-memory blocks not freed";                                         \
        EXPECT_EQ(g_coinstallerSeams.regOpenSucceeded, g_coinstallerSeams.regCloseCalls)  \
            << "registry keys not closed";                                               \
    } while (0)

#endif /* COINSTALLER_UNDER_TEST_H */
