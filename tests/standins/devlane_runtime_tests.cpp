// The runtime around the memory: handles bound to threads, device caches,
// symbols, project, messages, output log, and the test control (presence of
// the runtime, injected failures, call counts, slow devices, moving values).
#include "DevlaneTestSupport.h"

#include <chrono>
#include <cstring>
#include <thread>

using namespace devlane_test;

namespace
{
using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class DevlaneRuntime : public DevlaneTest
{
};
} // namespace

TEST_F(DevlaneRuntime, HandlesWorkOnlyOnTheirOwnThread)
{
    LINTOR_HANDLE foreign = 0;
    LONG ownRead = -1;
    LONG ownCacheCall = -1;
    std::thread creator(
        [&]
        {
            foreign = static_cast<LINTOR_HANDLE>(CreateLintorHandle());
            short v = 0;
            ownRead = ReadDevice16M(foreign, "N1.P1", "D0", &v, 1);
            ownCacheCall = LT_CreateCacheM(foreign, "cache-of-thread", 100);
        });
    creator.join();
    ASSERT_NE(0u, foreign);
    EXPECT_EQ(0, ownRead);
    EXPECT_EQ(0, ownCacheCall);

    short v = 7;
    EXPECT_EQ(kForeignThread, ReadDevice16M(foreign, "N1.P1", "D0", &v, 1));
    EXPECT_EQ(kForeignThread, WriteDevice16DM(foreign, "N1.P1", "D0", &v, 1));
    EXPECT_EQ(kForeignThread, LT_CreateCacheM(foreign, "c", 100));
    EXPECT_EQ(kForeignThread, LT_SetCacheQuicklyErrorAnswerModeM(foreign, 7));
    EXPECT_EQ(kForeignThread, DeleteLintorHandle(foreign));
    wchar_t text[DEVLANE_ERROR_MESSAGE_CHARS] = {};
    EXPECT_EQ(0, EasyLoadErrorMessageExWM(foreign, kUnknownDevice, text));
    EXPECT_EQ(L'\0', text[0]);
    EXPECT_EQ(7, v);

    EXPECT_EQ(kInvalidHandle, ReadDevice16M(0, "N1.P1", "D0", &v, 1));
    EXPECT_EQ(kInvalidHandle, ReadDevice16M(0x7777, "N1.P1", "D0", &v, 1));
}

TEST_F(DevlaneRuntime, HandlesAreDistinctAndEndWhenDeleted)
{
    LINTOR_HANDLE a = static_cast<LINTOR_HANDLE>(CreateLintorHandle());
    LINTOR_HANDLE b = static_cast<LINTOR_HANDLE>(CreateLintorHandle());
    ASSERT_NE(0u, a);
    ASSERT_NE(0u, b);
    EXPECT_NE(a, b);
    EXPECT_EQ(0, LT_SetCacheQuicklyErrorAnswerModeM(a, 7));
    EXPECT_EQ(kInvalidArgument, LT_SetCacheQuicklyErrorAnswerModeM(a, 8));
    EXPECT_EQ(0, EasySetWaitTypeM(a, 2));
    EXPECT_EQ(kInvalidArgument, EasySetWaitTypeM(a, -1));
    EXPECT_EQ(0, DeleteLintorHandle(a));
    EXPECT_EQ(kInvalidHandle, DeleteLintorHandle(a));
    short v = 0;
    EXPECT_EQ(kInvalidHandle, ReadDevice16M(a, "N1.P1", "D0", &v, 1));
    EXPECT_EQ(0, ReadDevice16M(b, "N1.P1", "D0", &v, 1));
    EXPECT_EQ(0, DeleteLintorHandle(b));
}

TEST_F(DevlaneRuntime, CacheNamesAreTakenUntilDestroyed)
{
    Handle h;
    ASSERT_EQ(0, LT_CreateCacheM(h, "#OPC_DeviceCache_0_1000_0", 1000));
    EXPECT_EQ(kCacheNameInUse, LT_CreateCacheM(h, "#OPC_DeviceCache_0_1000_0", 1000));
    EXPECT_EQ(0, LT_CreateCacheM(h, "#OPC_DeviceCache_0_1000_1", 1000));
    EXPECT_EQ(kInvalidArgument, LT_CreateCacheM(h, "", 1000));
    EXPECT_EQ(kInvalidArgument, LT_CreateCacheM(h, nullptr, 1000));
    EXPECT_EQ(kInvalidArgument, LT_CreateCacheM(h, "zero period", 0));

    // Another client of the runtime may hold a name.
    ASSERT_EQ("ok", Command("cache reserve #OPC_DeviceCache_1_500_0"));
    EXPECT_EQ(kCacheNameInUse, LT_CreateCacheM(h, "#OPC_DeviceCache_1_500_0", 500));

    EXPECT_EQ(0, LT_DestroyCacheM(h, "#OPC_DeviceCache_0_1000_0"));
    EXPECT_EQ(kCacheNotFound, LT_DestroyCacheM(h, "#OPC_DeviceCache_0_1000_0"));
    EXPECT_EQ(0, LT_CreateCacheM(h, "#OPC_DeviceCache_0_1000_0", 1000));
}

TEST_F(DevlaneRuntime, CacheRecordsAreCheckedAndFrozenByStart)
{
    Handle h;
    const char* cache = "#OPC_DeviceCache_0_100_0";
    ASSERT_EQ(0, LT_CreateCacheM(h, cache, 100));
    EXPECT_EQ(0, LT_EntryCacheRecordM(h, cache, "N1.P1", "D0", 2, 1));
    EXPECT_EQ(0, LT_EntryCacheRecordM(h, cache, "N1.P1", "D90", 11, 2));
    EXPECT_EQ(0, LT_EntryCacheRecordM(h, cache, "N1.P1", "Sheet.Group.Temp", 0, 0)); // type from the symbol
    EXPECT_EQ(kCacheNotFound, LT_EntryCacheRecordM(h, "no such cache", "N1.P1", "D0", 2, 1));
    EXPECT_EQ(kRecordDevice, LT_EntryCacheRecordM(h, cache, "N1.P9", "D0", 2, 1));
    EXPECT_EQ(kRecordAddress, LT_EntryCacheRecordM(h, cache, "N1.P1", "Q0", 2, 1));
    EXPECT_EQ(kRecordAddress, LT_EntryCacheRecordM(h, cache, "N1.P1", "D0", 0, 0));   // 0/0 only for symbols
    EXPECT_EQ(kRecordAddress, LT_EntryCacheRecordM(h, cache, "N1.P1", "D90", 11, 3)); // past D99
    EXPECT_EQ(kBadDataType, LT_EntryCacheRecordM(h, cache, "N1.P1", "D0", 13, 1));
    EXPECT_EQ(kBadCount, LT_EntryCacheRecordM(h, cache, "N1.P1", "D0", 2, 0));

    EXPECT_EQ(kCacheNotFound, LT_StartCacheM(h, "no such cache"));
    ASSERT_EQ(0, LT_StartCacheM(h, cache));
    EXPECT_EQ(kCacheStarted, LT_StartCacheM(h, cache));
    EXPECT_EQ(kCacheStarted, LT_EntryCacheRecordM(h, cache, "N1.P1", "D1", 2, 1));
    EXPECT_EQ("ok 1\n\"#OPC_DeviceCache_0_100_0\" period=100 started=1 records=3 reserved=0", Command("caches"));

    // A polling thread destroys the cache with its own handle.
    LONG destroyed = -1;
    std::thread poller(
        [&]
        {
            Handle own;
            destroyed = LT_DestroyCacheM(own, cache);
        });
    poller.join();
    EXPECT_EQ(0, destroyed);
    EXPECT_EQ("ok 0", Command("caches"));
}

TEST_F(DevlaneRuntime, SymbolsDescribeThemselvesAndStandForTheirAddress)
{
    SymbolInfo info;
    std::memset(&info, 0x5A, sizeof info);
    char scratch[DEVLANE_SYMBOL_SCRATCH] = {};
    DWORD reserved = 0;
    ASSERT_EQ(0, GetSymbolInformation("N1.P1", "Sheet.Group.Temp", 1, scratch, &info, &reserved));
    EXPECT_EQ(2, info.dataType);
    EXPECT_EQ(1, info.dataCount);
    EXPECT_STREQ("Temp", info.symbolName);
    EXPECT_STREQ("D10", info.deviceAddress);

    ASSERT_EQ(0, GetSymbolInformation("N1.P1", "sheet.group.name", 1, scratch, &info, &reserved));
    EXPECT_EQ(12, info.dataType);
    EXPECT_EQ(8, info.dataCount);
    EXPECT_STREQ("Label", info.symbolName);
    EXPECT_STREQ("D20", info.deviceAddress);

    EXPECT_EQ(kUnknownSymbol, GetSymbolInformation("N1.P1", "Sheet.Group.None", 1, scratch, &info, &reserved));
    EXPECT_EQ(kUnknownSymbol, GetSymbolInformation("N1.P1", nullptr, 1, scratch, &info, &reserved));
    EXPECT_EQ(kUnknownSymbol, GetSymbolInformation("N1.P2", "Sheet.Group.Temp", 1, scratch, &info, &reserved));
    EXPECT_EQ(kUnknownDevice, GetSymbolInformation("N1.P9", "Sheet.Group.Temp", 1, scratch, &info, &reserved));
    EXPECT_EQ(kInvalidArgument, GetSymbolInformation("N1.P1", "Sheet.Group.Temp", 2, scratch, &info, &reserved));
    EXPECT_EQ(kInvalidArgument, GetSymbolInformation("N1.P1", "Sheet.Group.Temp", 1, scratch, nullptr, &reserved));

    Handle h;
    const short value = 321;
    ASSERT_EQ(0, WriteDevice16DM(h, "N1.P1", "Sheet.Group.Temp", &value, 1));
    EXPECT_EQ(321, RawWord("D10"));
    WORD bits = 0;
    ASSERT_EQ("ok", Command("set N1.P1 M9 bit 1"));
    ASSERT_EQ(0, ReadDeviceBitM(h, "N1.P1", "Sheet.Flags", &bits, 4));
    EXPECT_EQ(0x0002, bits);
}

TEST_F(DevlaneRuntime, ProjectPathAndBuildAreReported)
{
    wchar_t path[DEVLANE_PATH_CHARS] = {};
    DWORD build = 0;
    ASSERT_EQ(0, GetLintorLoadedRXPPathW(path, &build));
    EXPECT_STREQ(L"C:\\Projects\\Test.rxp", path);
    EXPECT_EQ(7u, build);
    EXPECT_EQ(kInvalidArgument, GetLintorLoadedRXPPathW(nullptr, &build));

    ASSERT_EQ(0, DevlaneControlLoadDescriptionText("[device N1.P1]\n"));
    EXPECT_EQ(kNoProject, GetLintorLoadedRXPPathW(path, &build));
}

TEST_F(DevlaneRuntime, MessagesComeFromTheLibraryOrTheDescription)
{
    Handle h;
    wchar_t text[DEVLANE_ERROR_MESSAGE_CHARS] = {};
    ASSERT_NE(0, EasyLoadErrorMessageExWM(h, kUnknownDevice, text));
    EXPECT_STREQ(L"The device is not defined in the loaded project.", text);

    ASSERT_EQ(0, DevlaneControlLoadDescriptionText("[messages]\n0xC0B00201 = Gerät fehlt.\nC0B00010 = Timeout.\n"));
    std::memset(text, 0, sizeof text);
    ASSERT_NE(0, EasyLoadErrorMessageExWM(h, kUnknownDevice, text));
    EXPECT_STREQ(L"Ger\u00e4t fehlt.", text); // UTF-8 in the file
    std::memset(text, 0, sizeof text);
    ASSERT_NE(0, EasyLoadErrorMessageExWM(h, static_cast<LONG>(0xC0B00010), text));
    EXPECT_STREQ(L"Timeout.", text);

    std::memset(text, 0, sizeof text);
    ASSERT_NE(0, EasyLoadErrorMessageExWM(h, static_cast<LONG>(0xC0B00011), text));
    EXPECT_STREQ(L"Lintor runtime error 0xC0B00011.", text);

    std::memset(text, 0, sizeof text);
    EXPECT_EQ(0, EasyLoadErrorMessageExWM(h, static_cast<LONG>(0xC0B0073A), text)); // the server's own code
    EXPECT_EQ(L'\0', text[0]);
    EXPECT_EQ(0, EasyLoadErrorMessageExWM(h, kUnknownDevice, nullptr));
    EXPECT_EQ(0, EasyLoadErrorMessageExWM(0, kUnknownDevice, text));
}

TEST_F(DevlaneRuntime, OutputLogKeepsEveryEntryForTests)
{
    ASSERT_EQ(0, EasyOutputLog(8, "Kestrix:", "started"));
    ASSERT_EQ(0, EasyOutputLog(4, nullptr, "failed once"));
    EXPECT_EQ(kInvalidArgument, EasyOutputLog(4, "Kestrix:", nullptr));
    ASSERT_EQ(2, DevlaneControlOutputLogCount());
    LONG level = 0;
    char source[16] = {};
    char message[8] = {};
    ASSERT_EQ(0, DevlaneControlReadOutputLog(0, &level, source, sizeof source, message, sizeof message));
    EXPECT_EQ(8, level);
    EXPECT_STREQ("Kestrix:", source);
    EXPECT_STREQ("started", message);
    ASSERT_EQ(0, DevlaneControlReadOutputLog(1, &level, source, sizeof source, message, sizeof message));
    EXPECT_STREQ("", source);
    EXPECT_STREQ("failed ", message); // cut to the buffer
    EXPECT_EQ(kInvalidArgument, DevlaneControlReadOutputLog(2, &level, source, sizeof source, message, sizeof message));
    EXPECT_EQ("ok 2\n8\t\"Kestrix:\"\t\"started\"\n4\t\"\"\t\"failed once\"", Command("log"));
}

TEST_F(DevlaneRuntime, AVanishedRuntimeFailsEverythingUntilItIsBack)
{
    Handle h;
    EXPECT_EQ(0, EasyCheckServerFork());
    ASSERT_EQ(0, DevlaneControlSetRuntime(0));
    EXPECT_EQ(kRuntimeNotRunning, EasyCheckServerFork());
    EXPECT_EQ(kRuntimeNotRunning, EasyInit());
    EXPECT_EQ(0, CreateLintorHandle());
    short v = 0;
    EXPECT_EQ(kRuntimeNotRunning, ReadDevice16M(h, "N1.P1", "D0", &v, 1));
    EXPECT_EQ(kRuntimeNotRunning, EasyOutputLog(4, "Kestrix:", "lost"));

    // The same runtime comes back: the handle still works.
    ASSERT_EQ(0, DevlaneControlSetRuntime(1));
    EXPECT_EQ(0, EasyCheckServerFork());
    EXPECT_EQ(0, ReadDevice16M(h, "N1.P1", "D0", &v, 1));

    // A new runtime instance: the library notices until it attaches again.
    ASSERT_EQ(0, DevlaneControlSetRuntime(2));
    EXPECT_EQ(kRuntimeRestarted, EasyCheckServerFork());
    EXPECT_EQ(0, EasyInit());
    EXPECT_EQ(0, EasyCheckServerFork());
}

TEST_F(DevlaneRuntime, InjectedFailuresHitTheChosenFunctionForTheChosenCalls)
{
    Handle h;
    short v = 5;
    const LONG code = static_cast<LONG>(0xC0B00010);
    ASSERT_EQ(0, DevlaneControlInjectFailure("ReadDevice16M", code, 2, nullptr));
    LONG other = 0;
    EXPECT_EQ(0, ReadDevice32M(h, "N1.P1", "D0", &other, 1)); // other functions are not affected
    EXPECT_EQ(code, ReadDevice16M(h, "N1.P1", "D0", &v, 1));
    EXPECT_EQ(code, ReadDevice16M(h, "N1.P1", "D0", &v, 1));
    EXPECT_EQ(0, ReadDevice16M(h, "N1.P1", "D0", &v, 1));

    // Only for one device, until cleared.
    ASSERT_EQ(0, DevlaneControlInjectFailure("readdevice16m", code, 0, "N1.P2"));
    EXPECT_EQ(0, ReadDevice16M(h, "N1.P1", "D0", &v, 1));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(code, ReadDevice16M(h, "N1.P2", "D0", &v, 1));
    ASSERT_EQ(0, DevlaneControlInjectFailure("ReadDevice16M", 0, 0, nullptr));
    EXPECT_EQ(0, ReadDevice16M(h, "N1.P2", "D0", &v, 1));

    // Functions without a result code fail their own way.
    ASSERT_EQ("ok", Command("inject CreateLintorHandle C0B00005 1"));
    EXPECT_EQ(0, CreateLintorHandle());
    ASSERT_EQ("ok", Command("inject EasyCheckServerFork 80004005"));
    EXPECT_EQ(static_cast<LONG>(0x80004005), EasyCheckServerFork());
    ASSERT_EQ("ok", Command("inject clear"));
    EXPECT_EQ(0, EasyCheckServerFork());
    EXPECT_EQ(kInvalidArgument, DevlaneControlInjectFailure("NoSuchFunction", code, 0, nullptr));
    EXPECT_EQ(0, std::string(Command("inject NoSuchFunction 1")).find("error"));
}

TEST_F(DevlaneRuntime, EveryCallIsCountedFailedOrNot)
{
    Handle h;
    short v = 0;
    ReadDevice16M(h, "N1.P1", "D0", &v, 1);
    ReadDevice16M(h, "N1.P9", "D0", &v, 1);
    ReadDevice16M(0, "N1.P1", "D0", &v, 1);
    EXPECT_EQ(3, DevlaneControlCallCount("ReadDevice16M"));
    EXPECT_EQ(1, DevlaneControlCallCount("CreateLintorHandle"));
    EXPECT_EQ(0, DevlaneControlCallCount("WriteDevice16DM"));
    EXPECT_EQ(-1, DevlaneControlCallCount("Nothing"));
    EXPECT_EQ("ok 3", Command("count ReadDevice16M"));
    ASSERT_EQ("ok", Command("count reset"));
    EXPECT_EQ(0, DevlaneControlCallCount("ReadDevice16M"));
}

TEST_F(DevlaneRuntime, ASlowDeviceDelaysOnlyItsOwnCallers)
{
    ASSERT_EQ(0, DevlaneControlSetDeviceDelay("N1.P1", 400));
    long long slowMs = 0;
    std::thread slow(
        [&]
        {
            Handle own;
            short v = 0;
            Clock::time_point start = Clock::now();
            EXPECT_EQ(0, ReadDevice16M(own, "N1.P1", "D0", &v, 1));
            slowMs = MillisecondsSince(start);
        });
    Sleep(50); // let the slow call begin its wait
    Handle h;
    short v = 0;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(0, ReadDevice16M(h, "N1.P2", "D0", &v, 1));
    EXPECT_EQ("ok", Command("set N1.P1 D0 int16 3")); // the control is not blocked either
    long long fastMs = MillisecondsSince(start);
    slow.join();
    EXPECT_GE(slowMs, 380);
    EXPECT_LT(fastMs, 200);
    EXPECT_EQ(kUnknownDevice, DevlaneControlSetDeviceDelay("N1.P9", 10));
}

TEST_F(DevlaneRuntime, GeneratedValuesMoveUntilFrozen)
{
    ASSERT_EQ(0, DevlaneControlLoadDescriptionText("[device N1.P1]\n"
                                                   "D0 = int16 ramp from=0 to=30000 step=1 every=10\n"
                                                   "M0 = bit toggle every=60\n"
                                                   "D10 = float sine offset=50 amplitude=10 period=200 every=10\n"));
    Handle h;
    short first = -1;
    short later = -1;
    ASSERT_EQ(0, ReadDevice16M(h, "N1.P1", "D0", &first, 1));
    Sleep(200);
    ASSERT_EQ(0, ReadDevice16M(h, "N1.P1", "D0", &later, 1));
    EXPECT_GE(later - first, 10);

    bool sawOn = false;
    bool sawOff = false;
    float low = 1000;
    float high = -1000;
    for (int i = 0; i < 40; ++i)
    {
        WORD bit = 0;
        float f = 0;
        ASSERT_EQ(0, ReadDeviceBitM(h, "N1.P1", "M0", &bit, 1));
        ASSERT_EQ(0, ReadDeviceFloatM(h, "N1.P1", "D10", &f, 1));
        (bit != 0 ? sawOn : sawOff) = true;
        low = f < low ? f : low;
        high = f > high ? f : high;
        Sleep(15);
    }
    EXPECT_TRUE(sawOn);
    EXPECT_TRUE(sawOff);
    EXPECT_GE(low, 40.0f);
    EXPECT_LE(high, 60.0f);
    EXPECT_GT(high - low, 5.0f);

    ASSERT_EQ("ok", Command("freeze on"));
    ASSERT_EQ(0, ReadDevice16M(h, "N1.P1", "D0", &first, 1));
    Sleep(100);
    ASSERT_EQ(0, ReadDevice16M(h, "N1.P1", "D0", &later, 1));
    EXPECT_EQ(first, later);
}
