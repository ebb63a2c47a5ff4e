// Test control of the substitute runtime library "Devlane.dll", in-process.
// Another process reaches the same control through the pipe
// "\\.\pipe\Devlane.<process id>" (DevlaneControlClient.h), using the command
// language that DevlaneControlCommand takes:
//
//   ping                                     -> ok <process id>
//   load PATH                                -> ok <warning count>  (replaces the project)
//   warnings                                 -> ok <n> then one warning per line
//   set DEVICE ADDRESS TYPE VALUE...         write values (TYPE as in description files)
//   get DEVICE ADDRESS TYPE [COUNT]          -> ok VALUE...
//   runtime [down|up|restart]                -> ok up|down generation=G attached=A
//   inject FUNCTION CODE [CALLS] [device=DEVICE]   FUNCTION fails with CODE (hex)
//   inject clear [FUNCTION]
//   delay DEVICE MS                          every read and write of DEVICE waits MS
//   count [FUNCTION|reset]                   -> ok N, or one "FUNCTION N" line per function
//   log [clear]                              -> ok <n> then LEVEL<tab>"SOURCE"<tab>"MESSAGE" lines
//   caches                                   -> ok <n> then "NAME" period= started= records= reserved=
//   cache reserve NAME [PERIOD]              a cache name held by another client
//   freeze on|off                            stop or resume the value generators
//   reset                                    counts, injections, delays, log and caches cleared; runtime up
//
// Texts are in the ANSI code page, like the library's other narrow texts.
#pragma once

#include <windows.h>

#define DEVLANE_CONTROL_API extern "C" __declspec(dllimport) LONG WINAPI
#ifdef DEVLANE_BUILDING
#undef DEVLANE_CONTROL_API
#define DEVLANE_CONTROL_API extern "C" __declspec(dllexport) LONG WINAPI
#endif

// Runs one command. The reply (zero-terminated, cut to replyChars) starts with
// "ok" or "error". Returns 0 for "ok", 1 for "error", 2 when the reply was cut.
DEVLANE_CONTROL_API DevlaneControlCommand(const char* command, char* reply, DWORD replyChars);

// Replace the loaded project (a null path: the file beside the library); the
// result is the number of warnings.
DEVLANE_CONTROL_API DevlaneControlLoadDescription(const wchar_t* path);
DEVLANE_CONTROL_API DevlaneControlLoadDescriptionText(const char* text);

// Raw 16-bit words of device memory (bit areas: 16 bits per word). Library codes.
DEVLANE_CONTROL_API DevlaneControlSetWords(const char* device, const char* address, const WORD* words, LONG count);
DEVLANE_CONTROL_API DevlaneControlGetWords(const char* device, const char* address, WORD* words, LONG count);

// 0: the runtime disappears; 1: it is back; 2: a new runtime instance runs, so
// EasyCheckServerFork fails until EasyInit attaches to it.
DEVLANE_CONTROL_API DevlaneControlSetRuntime(LONG state);

// The named library function returns code (nonzero) for the next calls (all
// calls when calls <= 0), only for the device when device is not null; code 0 clears.
DEVLANE_CONTROL_API DevlaneControlInjectFailure(const char* function, LONG code, LONG calls, const char* device);

DEVLANE_CONTROL_API DevlaneControlSetDeviceDelay(const char* device, DWORD milliseconds);

// Calls of the named library function since the last reset, -1 for an unknown name.
DEVLANE_CONTROL_API DevlaneControlCallCount(const char* function);

// Entries of EasyOutputLog, oldest first. ReadOutputLog returns 0 and fills the
// texts (cut to their sizes) or returns 0xC0B00004 for an index out of range.
DEVLANE_CONTROL_API DevlaneControlOutputLogCount(void);
DEVLANE_CONTROL_API DevlaneControlReadOutputLog(LONG index, LONG* level, char* source, DWORD sourceChars, char* message,
                                                DWORD messageChars);

// Counts, injections, delays, the output log and caches cleared; runtime up and attached.
DEVLANE_CONTROL_API DevlaneControlReset(void);
