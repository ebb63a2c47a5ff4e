// Result codes of the substitute runtime library and their default message texts.
// Every failure code lies in the library range 0xC0B0xxxx and inside the ranges
// the server's code table knows, so each one maps to a distinct OPC-side code.
#pragma once

#include <cstdint>

namespace devlane
{
enum Code : uint32_t
{
    kOk = 0,
    kRuntimeNotRunning = 0xC0B00001,
    kInvalidHandle = 0xC0B00002,
    kForeignThread = 0xC0B00003,
    kInvalidArgument = 0xC0B00004,
    kOutOfMemory = 0xC0B00005,
    kRuntimeRestarted = 0xC0B00007,
    kNoProject = 0xC0B00008,
    kUnknownDevice = 0xC0B00201,
    kBadAddress = 0xC0B00202,
    kAddressRange = 0xC0B00203,
    kBadDataType = 0xC0B00204,
    kUnknownSymbol = 0xC0B00205,
    kBadBcd = 0xC0B00206,
    kBadCount = 0xC0B00207,
    kCacheNameInUse = 0xC0B00286,
    kCacheNotFound = 0xC0B00287,
    kCacheStarted = 0xC0B00288,
    kRecordDevice = 0xC0B00289,
    kRecordAddress = 0xC0B0028A,
};

struct CodeText
{
    uint32_t code;
    const char* text;
};

// Texts the library answers for its own codes unless the description file gives others.
inline const CodeText kDefaultTexts[] = {
    {kRuntimeNotRunning, "The Lintor runtime is not running."},
    {kInvalidHandle, "The runtime handle is not valid."},
    {kForeignThread, "The runtime handle belongs to another thread."},
    {kInvalidArgument, "An argument is missing or not valid."},
    {kOutOfMemory, "The runtime library is out of memory."},
    {kRuntimeRestarted, "The Lintor runtime was restarted since the library attached to it."},
    {kNoProject, "No project is loaded in the Lintor runtime."},
    {kUnknownDevice, "The device is not defined in the loaded project."},
    {kBadAddress, "The device address is not valid."},
    {kAddressRange, "The address range exceeds the device memory."},
    {kBadDataType, "The data type is not valid."},
    {kUnknownSymbol, "The symbol is not defined for the device."},
    {kBadBcd, "The value is not a valid BCD value."},
    {kBadCount, "The data count is not valid."},
    {kCacheNameInUse, "The cache name is already in use."},
    {kCacheNotFound, "The cache does not exist."},
    {kCacheStarted, "The cache has already been started."},
    {kRecordDevice, "The cache record names a device that is not defined."},
    {kRecordAddress, "The cache record's address is not valid for the device."},
};
} // namespace devlane
