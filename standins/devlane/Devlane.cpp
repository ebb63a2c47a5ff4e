// The exported functions of the substitute runtime library. Each one is a thin
// shell over the runtime state; nothing thrown inside crosses the boundary.
#ifndef DEVLANE_BUILDING
#define DEVLANE_BUILDING
#endif
#include "DevlaneApi.h"

#include "LaneCodes.h"
#include "LaneMemory.h"
#include "LaneRuntime.h"

using devlane::Fn;
using devlane::Runtime;

namespace
{
template <typename F>
LONG Guard(F&& body)
{
    try
    {
        return static_cast<LONG>(body());
    }
    catch (...)
    {
        return static_cast<LONG>(devlane::kOutOfMemory);
    }
}

LONG Access(Fn fn, LINTOR_HANDLE handle, const char* device, const char* address, int type, short count, void* buffer,
            bool write)
{
    return Guard([&]
                 { return Runtime::Instance().DeviceAccess(fn, handle, device, address, type, count, buffer, write); });
}
} // namespace

DEVLANE_API EasyInit(void)
{
    return Guard([] { return Runtime::Instance().Init(); });
}

DEVLANE_API EasyOutputLog(LONG level, const char* source, const char* message)
{
    return Guard([&] { return Runtime::Instance().OutputLog(level, source, message); });
}

DEVLANE_API EasyLoadErrorMessageExWM(LINTOR_HANDLE handle, LONG code, wchar_t* buffer)
{
    try
    {
        return Runtime::Instance().ErrorMessage(handle, static_cast<uint32_t>(code), buffer) ? 1 : 0;
    }
    catch (...)
    {
        return 0;
    }
}

DEVLANE_API CreateLintorHandle(void)
{
    try
    {
        return static_cast<LONG>(Runtime::Instance().CreateHandle());
    }
    catch (...)
    {
        return 0;
    }
}

DEVLANE_API DeleteLintorHandle(LINTOR_HANDLE handle)
{
    return Guard([&] { return Runtime::Instance().DeleteHandle(handle); });
}

DEVLANE_API LT_SetCacheQuicklyErrorAnswerModeM(LINTOR_HANDLE handle, LONG mode)
{
    return Guard([&]
                 { return Runtime::Instance().SetHandleMode(Fn::LT_SetCacheQuicklyErrorAnswerModeM, handle, mode); });
}

DEVLANE_API EasySetWaitTypeM(LINTOR_HANDLE handle, LONG waitType)
{
    return Guard([&] { return Runtime::Instance().SetHandleMode(Fn::EasySetWaitTypeM, handle, waitType); });
}

DEVLANE_API LT_CreateCacheM(LINTOR_HANDLE handle, const char* cacheName, LONG periodMs)
{
    return Guard([&] { return Runtime::Instance().CreateCache(handle, cacheName, periodMs); });
}

DEVLANE_API LT_EntryCacheRecordM(LINTOR_HANDLE handle, const char* cacheName, const char* device, const char* address,
                                 LONG dataType, LONG dataCount)
{
    return Guard(
        [&] { return Runtime::Instance().EntryCacheRecord(handle, cacheName, device, address, dataType, dataCount); });
}

DEVLANE_API LT_StartCacheM(LINTOR_HANDLE handle, const char* cacheName)
{
    return Guard([&] { return Runtime::Instance().StartCache(handle, cacheName); });
}

DEVLANE_API LT_DestroyCacheM(LINTOR_HANDLE handle, const char* cacheName)
{
    return Guard([&] { return Runtime::Instance().DestroyCache(handle, cacheName); });
}

DEVLANE_API ReadDeviceBitM(LINTOR_HANDLE handle, const char* device, const char* address, WORD* words, short bits)
{
    return Access(Fn::ReadDeviceBitM, handle, device, address, devlane::kTypeBit, bits, words, false);
}

DEVLANE_API ReadDevice16M(LINTOR_HANDLE handle, const char* device, const char* address, short* values, short count)
{
    return Access(Fn::ReadDevice16M, handle, device, address, devlane::kTypeInt16, count, values, false);
}

DEVLANE_API ReadDeviceBCD16M(LINTOR_HANDLE handle, const char* device, const char* address, short* values, short count)
{
    return Access(Fn::ReadDeviceBCD16M, handle, device, address, devlane::kTypeBcd16, count, values, false);
}

DEVLANE_API ReadDevice32M(LINTOR_HANDLE handle, const char* device, const char* address, LONG* values, short count)
{
    return Access(Fn::ReadDevice32M, handle, device, address, devlane::kTypeInt32, count, values, false);
}

DEVLANE_API ReadDeviceBCD32M(LINTOR_HANDLE handle, const char* device, const char* address, LONG* values, short count)
{
    return Access(Fn::ReadDeviceBCD32M, handle, device, address, devlane::kTypeBcd32, count, values, false);
}

DEVLANE_API ReadDeviceFloatM(LINTOR_HANDLE handle, const char* device, const char* address, float* values, short count)
{
    return Access(Fn::ReadDeviceFloatM, handle, device, address, devlane::kTypeFloat, count, values, false);
}

DEVLANE_API ReadDeviceDoubleM(LINTOR_HANDLE handle, const char* device, const char* address, double* values,
                              short count)
{
    return Access(Fn::ReadDeviceDoubleM, handle, device, address, devlane::kTypeDouble, count, values, false);
}

DEVLANE_API ReadDeviceStrM(LINTOR_HANDLE handle, const char* device, const char* address, char* text, short count)
{
    return Access(Fn::ReadDeviceStrM, handle, device, address, devlane::kTypeString, count, text, false);
}

DEVLANE_API WriteDeviceBitDM(LINTOR_HANDLE handle, const char* device, const char* address, const WORD* words,
                             short bits)
{
    return Access(Fn::WriteDeviceBitDM, handle, device, address, devlane::kTypeBit, bits, const_cast<WORD*>(words),
                  true);
}

DEVLANE_API WriteDevice16DM(LINTOR_HANDLE handle, const char* device, const char* address, const short* values,
                            short count)
{
    return Access(Fn::WriteDevice16DM, handle, device, address, devlane::kTypeInt16, count, const_cast<short*>(values),
                  true);
}

DEVLANE_API WriteDeviceBCD16DM(LINTOR_HANDLE handle, const char* device, const char* address, const short* values,
                               short count)
{
    return Access(Fn::WriteDeviceBCD16DM, handle, device, address, devlane::kTypeBcd16, count,
                  const_cast<short*>(values), true);
}

DEVLANE_API WriteDevice32DM(LINTOR_HANDLE handle, const char* device, const char* address, const LONG* values,
                            short count)
{
    return Access(Fn::WriteDevice32DM, handle, device, address, devlane::kTypeInt32, count, const_cast<LONG*>(values),
                  true);
}

DEVLANE_API WriteDeviceBCD32DM(LINTOR_HANDLE handle, const char* device, const char* address, const LONG* values,
                               short count)
{
    return Access(Fn::WriteDeviceBCD32DM, handle, device, address, devlane::kTypeBcd32, count,
                  const_cast<LONG*>(values), true);
}

DEVLANE_API WriteDeviceFloatDM(LINTOR_HANDLE handle, const char* device, const char* address, const float* values,
                               short count)
{
    return Access(Fn::WriteDeviceFloatDM, handle, device, address, devlane::kTypeFloat, count,
                  const_cast<float*>(values), true);
}

DEVLANE_API WriteDeviceDoubleDM(LINTOR_HANDLE handle, const char* device, const char* address, const double* values,
                                short count)
{
    return Access(Fn::WriteDeviceDoubleDM, handle, device, address, devlane::kTypeDouble, count,
                  const_cast<double*>(values), true);
}

DEVLANE_API WriteDeviceStrDM(LINTOR_HANDLE handle, const char* device, const char* address, const char* text,
                             short count)
{
    return Access(Fn::WriteDeviceStrDM, handle, device, address, devlane::kTypeString, count, const_cast<char*>(text),
                  true);
}

DEVLANE_API GetLintorLoadedRXPPathW(wchar_t* path, DWORD* buildNumber)
{
    return Guard([&] { return Runtime::Instance().ProjectPath(path, buildNumber); });
}

DEVLANE_API EasyCheckServerFork(void)
{
    return Guard([] { return Runtime::Instance().CheckFork(); });
}

DEVLANE_API GetSymbolInformation(const char* device, const char* symbol, LONG mode, void* scratch, SymbolInfo* info,
                                 DWORD* reserved)
{
    return Guard([&] { return Runtime::Instance().SymbolInformation(device, symbol, mode, info); });
}
