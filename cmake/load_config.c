/*
 * The load config directory linked into every deliverable, and what it names:
 * the stack cookie with its failure routine, and the Control Flow Guard check
 * and dispatch pointers.
 *
 * Why it is ours: the mingw-w64 runtime we build on (Debian 12, 10.0) has no
 * _load_config_used, and without one lld writes no load config directory. The
 * loader then neither randomises a stack cookie nor turns Control Flow Guard
 * on, whatever the compiler emitted. lld takes the directory from this symbol
 * and its size from the Size field. The runtime's headers know only the old
 * 0x70-byte IMAGE_LOAD_CONFIG_DIRECTORY64; the current layout is 0x140 bytes
 * (guard, CET and later fields), written below field by field in assembler
 * data, because GuardFlags is a 32-bit field holding the value of the linker's
 * absolute symbol __guard_flags, which C cannot initialise from an address.
 *
 * Stack cookie: -fstack-protector-strong makes every routine with a local
 * array keep __stack_chk_guard (xored with the stack pointer) below its
 * locals and compare it before returning. The guard holds the platform's
 * default cookie on disk; SecurityCookie names it, so the loader replaces it
 * with a random value before any code of the image runs. A mismatch calls
 * __stack_chk_fail, which ends the process at once with the fail-fast for a
 * stack cookie (status 0xC0000409): no exception handler runs and nothing
 * more is written.
 *
 * Control Flow Guard: -mguard=cf makes every indirect call go through
 * __guard_dispatch_icall_fptr, and lld (--guard-cf) writes the table of
 * valid call targets and the __guard_* symbols used below. The two pointers
 * live in read-only data and point at defaults that check nothing (the check
 * returns, the dispatch jumps to rax); on a Windows that enforces Control Flow
 * Guard the loader overwrites them with its own checking routines. Wine 8
 * does not.
 *
 * Keep this file free of local arrays: __stack_chk_fail must never check a
 * cookie itself. The release gate (python3 -m toolkit.release_gate) checks the
 * result in every shipped file.
 */
#include <windows.h>
#include <stdint.h>

/* The platform's default cookie for 64-bit images; the loader recognises it. */
uintptr_t __stack_chk_guard = 0x00002B992DDFA232ull;

__attribute__((noreturn)) void __stack_chk_fail(void)
{
    if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE))
        __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE));
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    __builtin_unreachable();
}

__asm__(
    "    .text\n"
    "    .p2align 4\n"
    "guard_check_icall_default:\n"
    "    ret\n"
    "    .p2align 4\n"
    "guard_dispatch_icall_default:\n"
    "    jmp *%rax\n"

    /* Merged into .rdata by the linker: read-only once loaded. */
    "    .section .rdata$guard,\"dr\"\n"
    "    .p2align 3\n"
    "    .globl __guard_check_icall_fptr\n"
    "__guard_check_icall_fptr:\n"
    "    .quad guard_check_icall_default\n"
    "    .globl __guard_dispatch_icall_fptr\n"
    "__guard_dispatch_icall_fptr:\n"
    "    .quad guard_dispatch_icall_default\n"

    /* IMAGE_LOAD_CONFIG_DIRECTORY64, current layout; offsets on the right. */
    "    .section .rdata$loadcfg,\"dr\"\n"
    "    .p2align 3\n"
    "    .globl _load_config_used\n"
    "_load_config_used:\n"
    "    .long 0x140\n"                          /* 0x00 Size */
    "    .long 0\n"                              /* 0x04 TimeDateStamp */
    "    .short 0, 0\n"                          /* 0x08 MajorVersion, MinorVersion */
    "    .long 0, 0, 0\n"                        /* 0x0C GlobalFlagsClear, GlobalFlagsSet, CriticalSectionDefaultTimeout */
    "    .quad 0, 0, 0, 0, 0, 0\n"               /* 0x18 DeCommit thresholds (2), LockPrefixTable, MaximumAllocationSize,
                                                         VirtualMemoryThreshold, ProcessAffinityMask */
    "    .long 0\n"                              /* 0x48 ProcessHeapFlags */
    "    .short 0, 0\n"                          /* 0x4C CSDVersion, DependentLoadFlags */
    "    .quad 0\n"                              /* 0x50 EditList */
    "    .quad __stack_chk_guard\n"              /* 0x58 SecurityCookie */
    "    .quad 0, 0\n"                           /* 0x60 SEHandlerTable, SEHandlerCount (32-bit images only) */
    "    .quad __guard_check_icall_fptr\n"       /* 0x70 GuardCFCheckFunctionPointer */
    "    .quad __guard_dispatch_icall_fptr\n"    /* 0x78 GuardCFDispatchFunctionPointer */
    "    .quad __guard_fids_table\n"             /* 0x80 GuardCFFunctionTable */
    "    .quad __guard_fids_count\n"             /* 0x88 GuardCFFunctionCount */
    "    .long __guard_flags\n"                  /* 0x90 GuardFlags */
    "    .short 0, 0\n"                          /* 0x94 CodeIntegrity: Flags, Catalog */
    "    .long 0, 0\n"                           /* 0x98           CatalogOffset, Reserved */
    "    .quad __guard_iat_table\n"              /* 0xA0 GuardAddressTakenIatEntryTable */
    "    .quad __guard_iat_count\n"              /* 0xA8 GuardAddressTakenIatEntryCount */
    "    .quad __guard_longjmp_table\n"          /* 0xB0 GuardLongJumpTargetTable */
    "    .quad __guard_longjmp_count\n"          /* 0xB8 GuardLongJumpTargetCount */
    "    .quad 0, 0, 0, 0\n"                     /* 0xC0 DynamicValueRelocTable, CHPEMetadataPointer,
                                                         GuardRFFailureRoutine, GuardRFFailureRoutineFunctionPointer */
    "    .long 0\n"                              /* 0xE0 DynamicValueRelocTableOffset */
    "    .short 0, 0\n"                          /* 0xE4 DynamicValueRelocTableSection, Reserved2 */
    "    .quad 0\n"                              /* 0xE8 GuardRFVerifyStackPointerFunctionPointer */
    "    .long 0, 0\n"                           /* 0xF0 HotPatchTableOffset, Reserved3 */
    "    .quad 0, 0\n"                           /* 0xF8 EnclaveConfigurationPointer, VolatileMetadataPointer */
    "    .quad __guard_eh_cont_table\n"          /* 0x108 GuardEHContinuationTable */
    "    .quad __guard_eh_cont_count\n"          /* 0x110 GuardEHContinuationCount */
    "    .quad 0, 0, 0, 0, 0\n"                  /* 0x118 GuardXFG check, dispatch and table dispatch pointers,
                                                          CastGuardOsDeterminedFailureMode, GuardMemcpyFunctionPointer */
);
