// The functions of the device-access library Devlane that the server calls,
// declared as the server passes its arguments. The library is bound through
// the import table; any library exporting these names can stand behind it.
#pragma once

#include <windows.h>

#include <cstdint>

typedef DWORD LINTOR_HANDLE; // opaque, 0 = none; valid only on its creating thread

// The fields of the library's symbol record that the server reads. The library fixes
// the full size; this record is larger than anything it writes.
#pragma pack(push, 1)
struct SymbolInfo
{
    WORD dataType;           // bytes 0-1
    WORD dataCount;          // bytes 2-3
    BYTE reserved[4];        // bytes 4-7
    char symbolName[68];     // from byte 8, zero-terminated
    char deviceAddress[180]; // from byte 76, zero-terminated
};
#pragma pack(pop)
static_assert(sizeof(SymbolInfo) == 256, "symbol record size");

#define DEVLANE_API extern "C" __declspec(dllimport) LONG WINAPI
#ifdef DEVLANE_BUILDING
#undef DEVLANE_API
#define DEVLANE_API extern "C" __declspec(dllexport) LONG WINAPI
#endif

// Output log levels the server uses.
enum : LONG
{
    DEVLANE_LOG_ERROR = 4,
    DEVLANE_LOG_START = 8,
    DEVLANE_LOG_STOP = 16
};

const DWORD DEVLANE_ERROR_MESSAGE_CHARS = 65536; // buffer of EasyLoadErrorMessageExWM
const DWORD DEVLANE_PATH_CHARS = 260;            // buffer of GetLintorLoadedRXPPathW
const DWORD DEVLANE_SYMBOL_SCRATCH = 260;        // scratch area of GetSymbolInformation
const LONG DEVLANE_E_CACHE_NAME_IN_USE = static_cast<LONG>(0xC0B00286);

DEVLANE_API EasyInit(void);
DEVLANE_API EasyOutputLog(LONG level, const char* source, const char* message);
// Nonzero when the buffer (DEVLANE_ERROR_MESSAGE_CHARS, cleared by the caller) holds the text.
DEVLANE_API EasyLoadErrorMessageExWM(LINTOR_HANDLE handle, LONG code, wchar_t* buffer);
DEVLANE_API CreateLintorHandle(void); // the new handle, 0 on failure
DEVLANE_API DeleteLintorHandle(LINTOR_HANDLE handle);
DEVLANE_API LT_SetCacheQuicklyErrorAnswerModeM(LINTOR_HANDLE handle, LONG mode);
DEVLANE_API EasySetWaitTypeM(LINTOR_HANDLE handle, LONG waitType);

DEVLANE_API LT_CreateCacheM(LINTOR_HANDLE handle, const char* cacheName, LONG periodMs);
DEVLANE_API LT_EntryCacheRecordM(LINTOR_HANDLE handle, const char* cacheName, const char* device, const char* address,
                                 LONG dataType, LONG dataCount);
DEVLANE_API LT_StartCacheM(LINTOR_HANDLE handle, const char* cacheName);
DEVLANE_API LT_DestroyCacheM(LINTOR_HANDLE handle, const char* cacheName);

// Bits are packed: bit i in bit (i mod 16) of word (i div 16).
DEVLANE_API ReadDeviceBitM(LINTOR_HANDLE handle, const char* device, const char* address, WORD* words, short bits);
DEVLANE_API ReadDevice16M(LINTOR_HANDLE handle, const char* device, const char* address, short* values, short count);
DEVLANE_API ReadDeviceBCD16M(LINTOR_HANDLE handle, const char* device, const char* address, short* values, short count);
DEVLANE_API ReadDevice32M(LINTOR_HANDLE handle, const char* device, const char* address, LONG* values, short count);
DEVLANE_API ReadDeviceBCD32M(LINTOR_HANDLE handle, const char* device, const char* address, LONG* values, short count);
DEVLANE_API ReadDeviceFloatM(LINTOR_HANDLE handle, const char* device, const char* address, float* values, short count);
DEVLANE_API ReadDeviceDoubleM(LINTOR_HANDLE handle, const char* device, const char* address, double* values,
                              short count);
// Stores count characters; adds no terminator.
DEVLANE_API ReadDeviceStrM(LINTOR_HANDLE handle, const char* device, const char* address, char* text, short count);

DEVLANE_API WriteDeviceBitDM(LINTOR_HANDLE handle, const char* device, const char* address, const WORD* words,
                             short bits);
DEVLANE_API WriteDevice16DM(LINTOR_HANDLE handle, const char* device, const char* address, const short* values,
                            short count);
DEVLANE_API WriteDeviceBCD16DM(LINTOR_HANDLE handle, const char* device, const char* address, const short* values,
                               short count);
DEVLANE_API WriteDevice32DM(LINTOR_HANDLE handle, const char* device, const char* address, const LONG* values,
                            short count);
DEVLANE_API WriteDeviceBCD32DM(LINTOR_HANDLE handle, const char* device, const char* address, const LONG* values,
                               short count);
DEVLANE_API WriteDeviceFloatDM(LINTOR_HANDLE handle, const char* device, const char* address, const float* values,
                               short count);
DEVLANE_API WriteDeviceDoubleDM(LINTOR_HANDLE handle, const char* device, const char* address, const double* values,
                                short count);
DEVLANE_API WriteDeviceStrDM(LINTOR_HANDLE handle, const char* device, const char* address, const char* text,
                             short count);

// Path of the loaded project file (buffer of DEVLANE_PATH_CHARS, cleared by the caller) and its build number.
DEVLANE_API GetLintorLoadedRXPPathW(wchar_t* path, DWORD* buildNumber);
// 0 while the runtime the caller attached to is still the one running.
DEVLANE_API EasyCheckServerFork(void);
// mode is always 1; scratch is a cleared area of DEVLANE_SYMBOL_SCRATCH bytes; *reserved is 0 on entry.
DEVLANE_API GetSymbolInformation(const char* device, const char* symbol, LONG mode, void* scratch, SymbolInfo* info,
                                 DWORD* reserved);
