#include "DevlaneControl.h"
#include "OpcDevlaneAPI.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
const char* const Description = "[project]\n"
                                "path = C:\\Lintor\\Projects\\Test.rxp\n"
                                "build = 7\n"
                                "[device N.P]\n"
                                "D0 = int16 -2 300\n"
                                "D10 = int32 -100000\n"
                                "D20 = float 1.5\n"
                                "D24 = double 2.25\n"
                                "D30 = string \"ABCD\"\n"
                                "[symbols N.P]\n"
                                "S.G.Speed = D0 int16 2\n"
                                "[messages]\n"
                                "C0B00010 = Device answered with an error.\n";

const COpcString Device(L"N.P");

std::string ReadFile(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The records of a log file, newest first, split at their closing empty line.
std::vector<std::string> FileRecords(const std::wstring& path)
{
    std::string text = ReadFile(path);
    std::vector<std::string> records;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n\r\n", start)) != std::string::npos; start = end + 4)
        records.push_back(text.substr(start, end + 4 - start));
    EXPECT_EQ(text.size(), start) << "text after the last record";
    return records;
}

class DevlaneApiTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, DevlaneControlReset());
        ASSERT_EQ(0, DevlaneControlLoadDescriptionText(Description));
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        m_dir = std::wstring(temp) + L"tagbridge-log-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++s_counter);
        CreateDirectoryW(m_dir.c_str(), nullptr);
        CreateDirectoryW((m_dir + L"\\ErrorLog").c_str(), nullptr);
        m_settings.simulationEnabled = false;
    }
    void TearDown() override
    {
        m_api.reset();
        DeleteFileW(LogPath().c_str());
        RemoveDirectoryW((m_dir + L"\\ErrorLog").c_str());
        RemoveDirectoryW(m_dir.c_str());
    }

    COpcDevlaneAPI& Api()
    {
        if (!m_api)
            m_api = std::make_unique<COpcDevlaneAPI>(m_settings, m_dir.c_str());
        return *m_api;
    }
    COpcDevlaneAPI& ApiWithHandle()
    {
        Api().CreateThreadHandle(GetCurrentThreadId());
        return *m_api;
    }
    std::wstring LogPath() const { return m_dir + L"\\ErrorLog\\Error.log"; }
    std::wstring Record(size_t i) { return Api().RecordAt(i).TextOrEmpty(); }

    static std::vector<std::string> OutputLog()
    {
        std::vector<std::string> entries;
        LONG n = DevlaneControlOutputLogCount();
        for (LONG i = 0; i < n; ++i)
        {
            LONG level = 0;
            char source[64] = {};
            char message[512] = {};
            DevlaneControlReadOutputLog(i, &level, source, 64, message, 512);
            entries.push_back(std::to_string(level) + "|" + source + "|" + message);
        }
        return entries;
    }

    static int s_counter;
    std::wstring m_dir;
    SOpcDevlaneSettings m_settings;
    std::unique_ptr<COpcDevlaneAPI> m_api;
};
int DevlaneApiTest::s_counter = 0;

const HRESULT NoHandle = static_cast<HRESULT>(0xC004900A);
} // namespace

TEST_F(DevlaneApiTest, AThreadWithoutAHandleFailsEveryHandleOperationWithOneRecordEach)
{
    COpcDevlaneAPI& api = Api();
    short s[2] = {7, 7};
    LONG l[2] = {7, 7};
    float f[1] = {7};
    double d[1] = {7};
    char text[4] = {'x', 'x', 'x', 'x'};
    const HRESULT results[] = {
        api.ReadDeviceBitM(Device, COpcString(L"M0"), l, 2),
        api.ReadDevice16M(Device, COpcString(L"D0"), s, 2),
        api.ReadDeviceU16M(Device, COpcString(L"D0"), reinterpret_cast<unsigned short*>(s), 2),
        api.ReadDevice32M(Device, COpcString(L"D10"), l, 1),
        api.ReadDeviceFloatM(Device, COpcString(L"D20"), f, 1),
        api.ReadDeviceDoubleM(Device, COpcString(L"D24"), d, 1),
        api.ReadDeviceStrM(Device, COpcString(L"D30"), text, 4),
        api.WriteDevice16DM(Device, COpcString(L"D0"), s, 1),
        api.WriteDeviceBitDM(Device, COpcString(L"M0"), l, 1),
        api.CreateCache(COpcString(L"C"), 1000),
        api.EntryCacheRecord(COpcString(L"C"), Device, COpcString(L"D0"), 2, 1),
        api.StartCache(COpcString(L"C")),
        api.DestroyCache(COpcString(L"C")),
    };
    for (HRESULT hr : results)
        EXPECT_EQ(NoHandle, hr);
    EXPECT_EQ(13u, api.RecordCount());
    EXPECT_EQ(7, s[0]);
    EXPECT_EQ('x', text[0]);
    EXPECT_NE(std::wstring::npos, Record(0).find(L"API      = LT_DestroyCacheM \r\n  Cache    = C \r\n"));
    EXPECT_NE(std::wstring::npos, Record(12).find(L"API      = ReadDeviceBitM"));
    EXPECT_NE(std::wstring::npos, Record(12).find(L"Property = Value\r\n"));
    EXPECT_EQ(0, DevlaneControlCallCount("ReadDevice16M"));
    EXPECT_TRUE(OutputLog().empty()); // without a handle there is no message to forward
}

TEST_F(DevlaneApiTest, HandlesBelongToTheirThread)
{
    COpcDevlaneAPI& api = Api();
    DWORD other = 0;
    std::thread([&] { other = GetCurrentThreadId(); }).join();
    api.CreateThreadHandle(other);
    EXPECT_EQ(0u, api.GetThreadHandle());
    EXPECT_EQ(0, DevlaneControlCallCount("CreateLintorHandle"));
    api.CreateThreadHandle(GetCurrentThreadId());
    api.CreateThreadHandle(GetCurrentThreadId());
    EXPECT_NE(0u, api.GetThreadHandle());
    EXPECT_EQ(1, DevlaneControlCallCount("CreateLintorHandle"));
    EXPECT_EQ(1, DevlaneControlCallCount("LT_SetCacheQuicklyErrorAnswerModeM"));
    EXPECT_EQ(1, DevlaneControlCallCount("EasySetWaitTypeM"));

    // Another thread has none of its own until it makes one.
    HRESULT fromOther = S_OK;
    std::thread(
        [&]
        {
            short v[1];
            fromOther = api.ReadDevice16M(Device, COpcString(L"D0"), v, 1);
        })
        .join();
    EXPECT_EQ(NoHandle, fromOther);
    api.DeleteThreadHandle(GetCurrentThreadId());
    EXPECT_EQ(0u, api.GetThreadHandle());
    EXPECT_EQ(1, DevlaneControlCallCount("DeleteLintorHandle"));
}

TEST_F(DevlaneApiTest, ReadsOfEveryWidthAndTheUnsignedVariantsGiveTheSameBits)
{
    COpcDevlaneAPI& api = ApiWithHandle();
    short s[2] = {};
    ASSERT_EQ(S_OK, api.ReadDevice16M(Device, COpcString(L"D0"), s, 2));
    EXPECT_EQ(-2, s[0]);
    EXPECT_EQ(300, s[1]);
    unsigned short u[2] = {};
    ASSERT_EQ(S_OK, api.ReadDeviceU16M(Device, COpcString(L"D0"), u, 2));
    EXPECT_EQ(0xFFFE, u[0]);
    LONG l = 0;
    ASSERT_EQ(S_OK, api.ReadDevice32M(Device, COpcString(L"D10"), &l, 1));
    EXPECT_EQ(-100000, l);
    ULONG ul = 0;
    ASSERT_EQ(S_OK, api.ReadDeviceU32M(Device, COpcString(L"D10"), &ul, 1));
    EXPECT_EQ(static_cast<ULONG>(-100000), ul);
    float f = 0;
    ASSERT_EQ(S_OK, api.ReadDeviceFloatM(Device, COpcString(L"D20"), &f, 1));
    EXPECT_EQ(1.5f, f);
    double d = 0;
    ASSERT_EQ(S_OK, api.ReadDeviceDoubleM(Device, COpcString(L"D24"), &d, 1));
    EXPECT_EQ(2.25, d);
    char text[5] = {'-', '-', '-', '-', '-'};
    ASSERT_EQ(S_OK, api.ReadDeviceStrM(Device, COpcString(L"D30"), text, 4));
    EXPECT_EQ(std::string("ABCD-"), std::string(text, 5)); // no terminator added
    EXPECT_EQ(0u, api.RecordCount());
}

TEST_F(DevlaneApiTest, BitsArePackedSixteenToAWord)
{
    COpcDevlaneAPI& api = ApiWithHandle();
    const WORD words[3] = {0x0000, 0x0001, 0x0001};
    ASSERT_EQ(0, DevlaneControlSetWords("N.P", "M0", words, 3));
    LONG bits[33];
    for (LONG& b : bits)
        b = 9;
    ASSERT_EQ(S_OK, api.ReadDeviceBitM(Device, COpcString(L"M0"), bits, 17));
    EXPECT_EQ(1, bits[16]);
    EXPECT_EQ(0, bits[15]);
    EXPECT_EQ(9, bits[17]); // only count outputs are written
    ASSERT_EQ(S_OK, api.ReadDeviceBitM(Device, COpcString(L"M0"), bits, 33));
    EXPECT_EQ(1, bits[16]);
    EXPECT_EQ(1, bits[32]);
    EXPECT_EQ(0, bits[31]);

    LONG flags[20] = {};
    flags[0] = 1;
    flags[16] = 1;
    flags[19] = -5; // any nonzero flag sets its bit
    ASSERT_EQ(S_OK, api.WriteDeviceBitDM(Device, COpcString(L"M100"), flags, 20));
    WORD back[2] = {};
    ASSERT_EQ(0, DevlaneControlGetWords("N.P", "M100", back, 2));
    EXPECT_EQ(0x0001, back[0]);
    EXPECT_EQ(0x0009, back[1] & 0x000F);

    // More than the 256 bits of the packed form are refused, not overrun.
    std::vector<LONG> many(257, 1);
    EXPECT_EQ(E_INVALIDARG, api.WriteDeviceBitDM(Device, COpcString(L"M100"), many.data(), 257));
    EXPECT_EQ(0, DevlaneControlCallCount("WriteDeviceBitDM") - 1);
}

TEST_F(DevlaneApiTest, WritesReachDeviceMemoryAndBadArgumentsAreRefused)
{
    COpcDevlaneAPI& api = ApiWithHandle();
    const unsigned short u = 0xFFFF;
    ASSERT_EQ(S_OK, api.WriteDeviceU16DM(Device, COpcString(L"D0"), &u, 1));
    const double d = -0.5;
    ASSERT_EQ(S_OK, api.WriteDeviceDoubleDM(Device, COpcString(L"D24"), &d, 1));
    short s = 0;
    api.ReadDevice16M(Device, COpcString(L"D0"), &s, 1);
    EXPECT_EQ(-1, s);
    double back = 0;
    api.ReadDeviceDoubleM(Device, COpcString(L"D24"), &back, 1);
    EXPECT_EQ(-0.5, back);

    EXPECT_EQ(E_POINTER, api.ReadDevice16M(Device, COpcString(L"D0"), nullptr, 1));
    EXPECT_EQ(E_OUTOFMEMORY, api.ReadDevice16M(Device, COpcString(L"D0"), &s, 0));
    EXPECT_EQ(E_OUTOFMEMORY, api.ReadDevice16M(Device, COpcString(L"D0"), &s, -3));
    EXPECT_EQ(E_POINTER, api.WriteDevice16DM(Device, COpcString(L"D0"), nullptr, 1));
    EXPECT_EQ(4u, api.RecordCount());
}

TEST_F(DevlaneApiTest, AFailedReadLeavesTheOutputAndIsForwardedOncePerCategory)
{
    COpcDevlaneAPI& api = ApiWithHandle();
    ASSERT_EQ(0, DevlaneControlInjectFailure("ReadDevice16M", static_cast<LONG>(0xC0B00010), 0, nullptr));
    short v[2] = {11, 12};
    EXPECT_EQ(static_cast<HRESULT>(0xC0048010), api.ReadDevice16M(Device, COpcString(L"D0"), v, 2));
    EXPECT_EQ(11, v[0]);
    EXPECT_EQ(12, v[1]);
    EXPECT_EQ(static_cast<HRESULT>(0xC0048010), api.ReadDevice16M(Device, COpcString(L"D0"), v, 2));
    std::wstring record = Record(0);
    EXPECT_NE(std::wstring::npos, record.find(L"  OLECode  = 0xc0048010 \r\n"));
    EXPECT_NE(std::wstring::npos, record.find(L"  API      = ReadDevice16M \r\n"));
    EXPECT_NE(std::wstring::npos, record.find(L"  Property = Value\r\n"));
    EXPECT_NE(std::wstring::npos, record.find(L"  Message  = Device answered with an error. \r\n"));
    std::vector<std::string> log = OutputLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("4|Kestrix:|Device answered with an error.", log[0]);

    // General failures reach the runtime's log every time.
    DevlaneControlInjectFailure("LT_StartCacheM", static_cast<LONG>(0xC0B00010), 0, nullptr);
    api.StartCache(COpcString(L"X"));
    api.StartCache(COpcString(L"X"));
    EXPECT_EQ(3u, OutputLog().size());
}

TEST_F(DevlaneApiTest, ReadsOfAnyLengthDeliverEveryElementAndOnlyOnSuccess)
{
    COpcDevlaneAPI& api = ApiWithHandle();
    // Lengths on both sides of what a read gathers without an allocation.
    std::vector<WORD> words(1200);
    for (size_t i = 0; i < words.size(); ++i)
        words[i] = static_cast<WORD>(i * 7 + 1);
    ASSERT_EQ(0, DevlaneControlSetWords("N.P", "D1000", words.data(), static_cast<LONG>(words.size())));
    for (short count : {1, 255, 256, 257, 600})
    {
        std::vector<short> s(static_cast<size_t>(count) + 1, -9);
        ASSERT_EQ(S_OK, api.ReadDevice16M(Device, COpcString(L"D1000"), s.data(), count)) << count;
        for (short i = 0; i < count; ++i)
            ASSERT_EQ(static_cast<short>(words[i]), s[i]) << count << " " << i;
        EXPECT_EQ(-9, s[count]) << count;
    }
    std::vector<double> d(300, -1.0);
    ASSERT_EQ(S_OK, api.ReadDeviceDoubleM(Device, COpcString(L"D1000"), d.data(), 300));
    double expected = 0;
    std::memcpy(&expected, &words[4 * 299], sizeof expected);
    EXPECT_EQ(0, std::memcmp(&expected, &d[299], sizeof expected));

    // 600 bits take 38 words; bit 599 is bit 7 of word 37.
    std::vector<WORD> bitWords(38, 0);
    bitWords[37] = 0x0080;
    bitWords[0] = 0x0001;
    ASSERT_EQ(0, DevlaneControlSetWords("N.P", "M0", bitWords.data(), 38));
    std::vector<LONG> bits(601, 9);
    ASSERT_EQ(S_OK, api.ReadDeviceBitM(Device, COpcString(L"M0"), bits.data(), 600));
    EXPECT_EQ(1, bits[0]);
    EXPECT_EQ(0, bits[598]);
    EXPECT_EQ(1, bits[599]);
    EXPECT_EQ(9, bits[600]);

    // A failure leaves short and long outputs as they were.
    ASSERT_EQ(0, DevlaneControlInjectFailure("ReadDevice16M", static_cast<LONG>(0xC0B00010), 0, nullptr));
    for (short count : {2, 600})
    {
        std::vector<short> s(static_cast<size_t>(count), 77);
        EXPECT_EQ(static_cast<HRESULT>(0xC0048010), api.ReadDevice16M(Device, COpcString(L"D1000"), s.data(), count));
        EXPECT_EQ(std::vector<short>(static_cast<size_t>(count), 77), s) << count;
    }
    ASSERT_EQ(0, DevlaneControlInjectFailure("ReadDeviceBitM", static_cast<LONG>(0xC0B00010), 0, nullptr));
    std::vector<LONG> untouched(600, 5);
    EXPECT_NE(S_OK, api.ReadDeviceBitM(Device, COpcString(L"M0"), untouched.data(), 600));
    EXPECT_EQ(std::vector<LONG>(600, 5), untouched);
}

TEST_F(DevlaneApiTest, ANameInUseIsReturnedUnmappedAndUnlogged)
{
    COpcDevlaneAPI& api = ApiWithHandle();
    EXPECT_EQ(S_OK, api.CreateCache(COpcString(L"#Cache_0"), 1000));
    EXPECT_EQ(static_cast<HRESULT>(0xC0B00286), api.CreateCache(COpcString(L"#Cache_0"), 1000));
    EXPECT_EQ(0u, api.RecordCount());
    EXPECT_EQ(S_OK, api.EntryCacheRecord(COpcString(L"#Cache_0"), Device, COpcString(L"D0"), 2, 1));
    EXPECT_EQ(S_OK, api.StartCache(COpcString(L"#Cache_0")));
    EXPECT_EQ(S_OK, api.DestroyCache(COpcString(L"#Cache_0")));

    SymbolInfo info = {};
    ASSERT_EQ(S_OK, api.GetSymbolInfo(Device, COpcString(L"S.G.Speed"), info));
    EXPECT_EQ(2, info.dataType);
    EXPECT_EQ(2, info.dataCount);
    EXPECT_STREQ("D0", info.deviceAddress);
    COpcString path;
    DWORD build = 0;
    ASSERT_EQ(S_OK, api.GetLoadedProjectPath(path, build));
    EXPECT_TRUE(path.Equals(L"C:\\Lintor\\Projects\\Test.rxp"));
    EXPECT_EQ(7u, build);
    EXPECT_EQ(S_OK, api.CheckServerFork());
    DevlaneControlSetRuntime(0);
    EXPECT_NE(S_OK, api.CheckServerFork());
    DevlaneControlSetRuntime(1);
}

TEST_F(DevlaneApiTest, StartAndStopMessagesGoToTheRuntimeLog)
{
    Api();
    EXPECT_EQ(S_OK, m_api->Init());
    m_api.reset();
    std::vector<std::string> log = OutputLog();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(0u, log[0].find("8|Kestrix:|"));
    EXPECT_EQ(0u, log[1].find("16|Kestrix:|"));

    DevlaneControlReset();
    m_settings.outputLogDisable = true;
    Api();
    EXPECT_EQ(S_OK, m_api->Init());
    m_api.reset();
    EXPECT_TRUE(OutputLog().empty());

    DevlaneControlInjectFailure("EasyInit", static_cast<LONG>(0xC0B00001), 0, nullptr);
    m_settings.outputLogDisable = false;
    EXPECT_EQ(static_cast<HRESULT>(0xC004900D), Api().Init());
    EXPECT_NE(std::wstring::npos, Record(0).find(L"API      = COpcDevlaneAPI::Init"));
}

TEST_F(DevlaneApiTest, TheFileHoldsTheCurrentRecordsNewestFirst)
{
    {
        COpcDevlaneAPI& api = Api();
        for (int i = 0; i < 1001; ++i)
        {
            wchar_t item[16];
            swprintf(item, 16, L"Tag%d", i);
            api.LogFailure(OPC_LOG_DEVICE_CONFIG, static_cast<LONG>(0xC0B00739), L"COpcDaDevice::Read", nullptr, item,
                           L"DataType");
        }
        EXPECT_EQ(1000u, api.RecordCount());
        m_api.reset(); // the writer's final flush
    }
    std::vector<std::string> records = FileRecords(LogPath());
    ASSERT_EQ(1000u, records.size());
    EXPECT_NE(std::string::npos, records[0].find("  ItemID   = Tag1000\r\n"));
    EXPECT_NE(std::string::npos, records[999].find("  ItemID   = Tag1\r\n"));
    // The record's shape, line by line.
    const std::string& r = records[0];
    int y, mo, d, h, mi, s;
    ASSERT_EQ(6, sscanf(r.c_str(), "%d/%d/%d %d:%d:%d\r\n", &y, &mo, &d, &h, &mi, &s));
    EXPECT_EQ(r.find("\r\n") + 2, r.find("  OLECode  = 0xc0049009 \r\n"));
    EXPECT_NE(std::string::npos,
              r.find("  OLECode  = 0xc0049009 \r\n  API      = COpcDaDevice::Read \r\n  Cache    =  \r\n"
                     "  ItemID   = Tag1000\r\n  Property = DataType\r\n  Message  =  \r\n\r\n"));

    // A second, shorter run leaves exactly its own records.
    Api().LogFailure(OPC_LOG_GENERAL, static_cast<LONG>(0xC0B00732), L"Load", nullptr, nullptr, L"Simulation");
    m_api.reset();
    records = FileRecords(LogPath());
    ASSERT_EQ(1u, records.size());
    EXPECT_NE(std::string::npos, records[0].find("Property = Simulation"));
}

TEST_F(DevlaneApiTest, DisabledLoggingTouchesNoFileAndAMissingFolderDropsRecords)
{
    {
        std::ofstream old(LogPath().c_str(), std::ios::binary);
        old << "old log";
    }
    m_settings.outputLogDisable = true;
    Api().LogFailure(OPC_LOG_GENERAL, static_cast<LONG>(0xC0B00732), L"Load");
    EXPECT_EQ(0u, Api().RecordCount());
    m_api.reset();
    EXPECT_EQ("old log", ReadFile(LogPath()));

    m_settings.outputLogDisable = false;
    DeleteFileW(LogPath().c_str());
    RemoveDirectoryW((m_dir + L"\\ErrorLog").c_str());
    Api().LogFailure(OPC_LOG_GENERAL, static_cast<LONG>(0xC0B00732), L"Load");
    EXPECT_EQ(0u, Api().RecordCount());
    CreateDirectoryW((m_dir + L"\\ErrorLog").c_str(), nullptr);
    Api().LogFailure(OPC_LOG_GENERAL, static_cast<LONG>(0xC0B00732), L"Load");
    EXPECT_EQ(1u, Api().RecordCount()); // the next record tries the file again
}

TEST_F(DevlaneApiTest, InSimulationMessagesComeFromTheMessageLibrary)
{
    m_settings.simulationEnabled = true;
    COpcDevlaneAPI& api = Api();
    api.LogFailure(OPC_LOG_GENERAL, static_cast<LONG>(0xC0B00734), L"Load_TagCnfFile");
    EXPECT_NE(std::wstring::npos, Record(0).find(L"  Message  =  \r\n"));
    api.LogFailure(OPC_LOG_GENERAL, static_cast<LONG>(0xC0B00732), L"Load");
    COpcString expected = MessageText(0x48005);
    ASSERT_FALSE(expected.IsEmpty());
    EXPECT_NE(std::wstring::npos, Record(0).find(std::wstring(L"  Message  = ") + expected.Text() + L" \r\n"));
    EXPECT_EQ(0, DevlaneControlCallCount("EasyLoadErrorMessageExWM"));
    EXPECT_TRUE(OutputLog().empty());
}

TEST_F(DevlaneApiTest, TheSharedContextMakesOneRecordAndIsCleared)
{
    COpcDevlaneAPI& api = Api();
    {
        COpcLockGuard guard(api.Lock());
        COpcErrorContext& ctx = api.Context();
        ctx.category = OPC_LOG_DEVICE_CONFIG;
        ctx.deviceCode = static_cast<LONG>(0xC0B00737);
        ctx.api = L"COpcDaDevice::Read";
        ctx.itemId = L"N.P.Tag";
        ctx.property = L"Name";
        api.WriteErrorLog();
        EXPECT_EQ(nullptr, api.Context().api);
        EXPECT_EQ(0, api.Context().deviceCode);
    }
    EXPECT_NE(std::wstring::npos, Record(0).find(L"  OLECode  = 0xc0049007 \r\n"));
    EXPECT_NE(std::wstring::npos, Record(0).find(L"  ItemID   = N.P.Tag\r\n"));
}

TEST_F(DevlaneApiTest, FinishingTellsTheRuntimeOnceAndWritesTheRecordsAtOnce)
{
    COpcDevlaneAPI& api = ApiWithHandle();
    api.LogFailure(OPC_LOG_GENERAL, static_cast<LONG>(0xC0B00732), L"Before");
    api.Finish();
    // Long before the writer's ten-second round: the final flush did it.
    std::vector<std::string> records = FileRecords(LogPath());
    ASSERT_EQ(1u, records.size());
    EXPECT_NE(std::string::npos, records[0].find("API      = Before"));
    EXPECT_EQ(0u, api.GetThreadHandle());
    short v[1];
    EXPECT_EQ(NoHandle, api.ReadDevice16M(Device, COpcString(L"D0"), v, 1)) << "no handle after the end";

    api.Finish();
    m_api.reset();
    EXPECT_EQ(1, DevlaneControlCallCount("DeleteLintorHandle"));
    int stops = 0;
    for (const std::string& entry : OutputLog())
        stops += entry.compare(0, 11, "16|Kestrix:") == 0;
    EXPECT_EQ(1, stops) << "one stop message for two Finish calls and the destructor";
    records = FileRecords(LogPath());
    ASSERT_EQ(2u, records.size()) << "a record made after Finish is written by the destructor";
    EXPECT_NE(std::string::npos, records[0].find("API      = ReadDevice16M"));
}
