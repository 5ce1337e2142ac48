/*
 * The suite's first step: whatever an earlier run left because it was
 * stopped (a failed assertion, a crash, a killed run) is removed, and said.
 * Fails only when something cannot be removed: then later tests would fail
 * for it, not for their own fault.
 */
#include <gtest/gtest.h>
#include <windows.h>

#include "child_process.h"
#include "leftovers.h"

TEST(CleanMachine, WhatEarlierRunsLeftIsRemoved)
{
    std::vector<std::wstring> found, stayed;
    bool clean = RemoveTestLeftovers(&found, &stayed);
    for (const std::wstring &item : found)
        printf("removed what an earlier run left: %s\n", Narrow(item).c_str());
    std::wstring list;
    for (const std::wstring &item : stayed)
        list += L"\n  " + item;
    EXPECT_TRUE(clean) << "cannot remove:" << Narrow(list);
}
