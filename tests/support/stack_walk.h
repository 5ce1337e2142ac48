/*
 * Test support: walking a thread's stack with the platform's debug-help
 * library, as a debugger or a dump reader does, and naming every frame from
 * the modules' symbols (the deliverables' PDBs among them).
 */
#ifndef STACK_WALK_H
#define STACK_WALK_H

#include <windows.h>
#include <string>
#include <vector>

struct StackFrame {
    DWORD64 pc = 0;
    std::wstring module;     /* module name without extension, "" when none */
    std::wstring function;   /* "" when no symbol covers pc */
    std::wstring file;       /* source file, "" when no line information */
    DWORD line = 0;
};

/* Starts the symbol handler for process with searchPath (the folder of the
   PDBs) and loads every module the process has. False with the error. */
bool StartSymbols(HANDLE process, const std::wstring &searchPath, std::wstring *error);
void StopSymbols(HANDLE process);

/* How the module at base got its symbols ("pdb", "export", "none", ...) and
   the symbol file it loaded. */
std::wstring SymbolKindOf(HANDLE process, DWORD64 base, std::wstring *symbolFile = nullptr);

/* Walks thread of process from context (copied; the walk changes it), at most
   maxFrames frames. Frames that follow the last one the walk could unwind are
   not there: a walk stopped early ends short. */
std::vector<StackFrame> WalkStack(HANDLE process, HANDLE thread, const CONTEXT &context,
                                  size_t maxFrames = 64);

/* Walks another process's thread: suspends it, reads its context, walks it
   and lets it go on. Empty when the thread cannot be opened or read. */
std::vector<StackFrame> WalkOtherThread(HANDLE process, DWORD threadId, std::wstring *error);

/* The ids of a process's threads. */
std::vector<DWORD> ThreadsOf(DWORD processId);

/* A frame that matches: module (if not empty), function (if not empty), and
   a source file whose name ends in fileSuffix (if not empty) with a line. */
struct ExpectedFrame {
    std::wstring module;
    std::wstring function;
    std::wstring fileSuffix;
};

/* Whether the wanted frames are found in the frames in this order (other frames may
   lie between); *missing names the first one that was not. */
bool FramesInOrder(const std::vector<StackFrame> &frames, const std::vector<ExpectedFrame> &wanted,
                   std::wstring *missing);

/* Whether the last frame of the walk lies in module. */
bool EndsInModule(const std::vector<StackFrame> &frames, const std::wstring &module);

/* One line per frame, for failure messages. */
std::string ShowFrames(const std::vector<StackFrame> &frames);

#endif /* STACK_WALK_H */
