// Shared pieces of the substitute runtime library's tests: a small project
// loaded fresh for every test, and a handle owned by the calling thread.
#pragma once

#include "DevlaneApi.h"
#include "DevlaneControl.h"

#include <gtest/gtest.h>

#include <string>

namespace devlane_test
{
const LONG kRuntimeNotRunning = static_cast<LONG>(0xC0B00001);
const LONG kInvalidHandle = static_cast<LONG>(0xC0B00002);
const LONG kForeignThread = static_cast<LONG>(0xC0B00003);
const LONG kInvalidArgument = static_cast<LONG>(0xC0B00004);
const LONG kRuntimeRestarted = static_cast<LONG>(0xC0B00007);
const LONG kNoProject = static_cast<LONG>(0xC0B00008);
const LONG kUnknownDevice = static_cast<LONG>(0xC0B00201);
const LONG kBadAddress = static_cast<LONG>(0xC0B00202);
const LONG kAddressRange = static_cast<LONG>(0xC0B00203);
const LONG kBadDataType = static_cast<LONG>(0xC0B00204);
const LONG kUnknownSymbol = static_cast<LONG>(0xC0B00205);
const LONG kBadBcd = static_cast<LONG>(0xC0B00206);
const LONG kBadCount = static_cast<LONG>(0xC0B00207);
const LONG kCacheNameInUse = static_cast<LONG>(0xC0B00286);
const LONG kCacheNotFound = static_cast<LONG>(0xC0B00287);
const LONG kCacheStarted = static_cast<LONG>(0xC0B00288);
const LONG kRecordDevice = static_cast<LONG>(0xC0B00289);
const LONG kRecordAddress = static_cast<LONG>(0xC0B0028A);

// Two devices on one node; P1 has small D and M areas so range ends are near.
inline const char* const kProject = R"([project]
path = C:\Projects\Test.rxp
build = 7

[device N1.P1]
size.D = 100
size.M = 64

[device N1.P2]

[symbols N1.P1]
Sheet.Group.Temp = D10 int16 1
Sheet.Group.Name = D20 string 8 name=Label
Sheet.Flags = M8 bit 4
)";

class Handle
{
public:
    Handle() : m_handle(static_cast<LINTOR_HANDLE>(CreateLintorHandle())) {}
    ~Handle()
    {
        if (m_handle != 0)
            DeleteLintorHandle(m_handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    operator LINTOR_HANDLE() const { return m_handle; }

private:
    LINTOR_HANDLE m_handle;
};

// Every test starts from the same project with nothing injected or counted.
class DevlaneTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, DevlaneControlLoadDescriptionText(kProject));
        ASSERT_EQ(0, DevlaneControlReset());
    }

    static std::string Command(const std::string& command)
    {
        char reply[4096] = {};
        DevlaneControlCommand(command.c_str(), reply, sizeof reply);
        return reply;
    }

    static WORD RawWord(const char* address, const char* device = "N1.P1")
    {
        WORD w = 0xDEAD;
        EXPECT_EQ(0, DevlaneControlGetWords(device, address, &w, 1)) << address;
        return w;
    }
};
} // namespace devlane_test
