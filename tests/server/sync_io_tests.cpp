#include "ServerItemsFixture.h"

#include "OpcApartment.h"

#include <string>
#include <thread>
#include <vector>

using namespace server_test;

namespace
{
const WORD kOutOfService = 0x1C;

ULONGLONG Ticks(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

class SyncIoTest : public ServerItemsTest
{
protected:
    // One item read through IOPCSyncIO::Read; the per-item error is returned.
    HRESULT ReadOne(OPCDATASOURCE source, OPCHANDLE handle, COpcVariant& value, WORD* quality = nullptr,
                    FILETIME* stamp = nullptr)
    {
        COpcTaskMem<OPCITEMSTATE> states;
        COpcTaskMem<HRESULT> errors;
        HRESULT hr = m_sync->Read(source, 1, &handle, states.Receive(), errors.Receive());
        if (FAILED(hr))
            return hr;
        value.Clear();
        *value.Get() = states.Get()[0].vDataValue;
        if (quality)
            *quality = states.Get()[0].wQuality;
        if (stamp)
            *stamp = states.Get()[0].ftTimeStamp;
        EXPECT_EQ(100u, states.Get()[0].hClient);
        return errors.Get()[0];
    }

    HRESULT ReadAged(OPCHANDLE handle, DWORD maxAge, COpcVariant& value, FILETIME* stamp = nullptr,
                     WORD* quality = nullptr)
    {
        COpcTaskMem<VARIANT> values;
        COpcTaskMem<WORD> qualities;
        COpcTaskMem<FILETIME> stamps;
        COpcTaskMem<HRESULT> errors;
        HRESULT hr = m_sync->ReadMaxAge(1, &handle, &maxAge, values.Receive(), qualities.Receive(), stamps.Receive(),
                                        errors.Receive());
        if (FAILED(hr))
            return hr;
        value.Clear();
        *value.Get() = values.Get()[0];
        if (stamp)
            *stamp = stamps.Get()[0];
        if (quality)
            *quality = qualities.Get()[0];
        return errors.Get()[0];
    }

    HRESULT WriteOne(OPCHANDLE handle, const VARIANT& value)
    {
        COpcTaskMem<HRESULT> errors;
        VARIANT copy = value;
        HRESULT hr = m_sync->Write(1, &handle, &copy, errors.Receive());
        return FAILED(hr) ? hr : errors.Get()[0];
    }

    // Changes the device value behind the address space's back.
    void SetDevice(const wchar_t* itemId, int value)
    {
        COpcVariant v;
        SetInt16(v.Get(), static_cast<int16_t>(value));
        ASSERT_EQ(S_OK, Item(itemId)->WriteItem(OPC_DA_READ_DEVICE, *v.Get(), nullptr, nullptr, nullptr, true));
    }

    static int Number(const COpcVariant& value)
    {
        double number = -1;
        EXPECT_EQ(S_OK, GetDouble(number, *value.Get()));
        return static_cast<int>(number);
    }
};
} // namespace

TEST_F(SyncIoTest, CacheReadOfAnInactiveItemIsOutOfServiceWithTheCachedValue)
{
    SetDevice(L"N.P.A", 12);
    OPCHANDLE inactive = AddOne(L"N.P.A", VT_EMPTY, FALSE);
    COpcVariant value;
    WORD quality = 0;
    ASSERT_EQ(S_OK, ReadOne(OPC_DS_CACHE, inactive, value, &quality));
    EXPECT_EQ(VT_I2, value->vt);
    EXPECT_EQ(12, Number(value));
    EXPECT_EQ(kOutOfService, quality);
    ASSERT_EQ(S_OK, ReadOne(OPC_DS_DEVICE, inactive, value, &quality));
    EXPECT_EQ(12, Number(value));
    EXPECT_EQ(OPC_QUALITY_GOOD, quality);

    OPCHANDLE active = AddOne(L"N.P.A", VT_R8, TRUE);
    ASSERT_EQ(S_OK, ReadOne(OPC_DS_CACHE, active, value, &quality));
    EXPECT_EQ(VT_R8, value->vt);
    EXPECT_EQ(OPC_QUALITY_GOOD, quality);
}

TEST_F(SyncIoTest, ArgumentsAreCheckedBeforeAnythingIsRead)
{
    OPCHANDLE handle = AddOne(L"N.P.A");
    COpcTaskMem<OPCITEMSTATE> states;
    COpcTaskMem<HRESULT> errors;
    EXPECT_EQ(E_INVALIDARG,
              m_sync->Read(static_cast<OPCDATASOURCE>(3), 1, &handle, states.Receive(), errors.Receive()));
    EXPECT_EQ(nullptr, states.Get());
    EXPECT_EQ(nullptr, errors.Get());
    EXPECT_EQ(E_INVALIDARG, m_sync->Read(OPC_DS_CACHE, 0, &handle, states.Receive(), errors.Receive()));
    EXPECT_EQ(E_OUTOFMEMORY, m_sync->Read(OPC_DS_CACHE, 0xFFFFFFFF, &handle, states.Receive(), errors.Receive()));
    EXPECT_EQ(E_INVALIDARG, m_sync->Read(OPC_DS_CACHE, 1, nullptr, states.Receive(), errors.Receive()));
    VARIANT value;
    VariantInit(&value);
    EXPECT_EQ(E_INVALIDARG, m_sync->Write(0, &handle, &value, errors.Receive()));
    EXPECT_EQ(E_INVALIDARG, m_sync->Write(1, &handle, nullptr, errors.Receive()));
    DWORD age = 0;
    COpcTaskMem<VARIANT> values;
    COpcTaskMem<WORD> qualities;
    COpcTaskMem<FILETIME> stamps;
    EXPECT_EQ(E_INVALIDARG, m_sync->ReadMaxAge(1, &handle, nullptr, values.Receive(), qualities.Receive(),
                                               stamps.Receive(), errors.Receive()));
    EXPECT_EQ(E_INVALIDARG, m_sync->ReadMaxAge(0, &handle, &age, values.Receive(), qualities.Receive(),
                                               stamps.Receive(), errors.Receive()));
    OPCITEMVQT vqt = {};
    EXPECT_EQ(E_INVALIDARG, m_sync->WriteVQT(0, &handle, &vqt, errors.Receive()));
    EXPECT_EQ(E_INVALIDARG, m_sync->WriteVQT(1, &handle, &vqt, nullptr));
}

TEST_F(SyncIoTest, UnknownHandlesFailPerEntry)
{
    OPCHANDLE handles[] = {AddOne(L"N.P.A"), 0xBAD};
    COpcTaskMem<OPCITEMSTATE> states;
    COpcTaskMem<HRESULT> errors;
    ASSERT_EQ(S_FALSE, m_sync->Read(OPC_DS_DEVICE, 2, handles, states.Receive(), errors.Receive()));
    EXPECT_EQ(S_OK, errors.Get()[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors.Get()[1]);
    EXPECT_EQ(VT_EMPTY, states.Get()[1].vDataValue.vt);
    VariantClear(&states.Get()[0].vDataValue);
    VARIANT values[2];
    for (auto& v : values)
    {
        v.vt = VT_I4;
        v.lVal = 3;
    }
    ASSERT_EQ(S_FALSE, m_sync->Write(2, handles, values, errors.Receive()));
    EXPECT_EQ(S_OK, errors.Get()[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors.Get()[1]);
}

TEST_F(SyncIoTest, WritesAreConvertedToTheTagTypeAndRefusedWithoutWriteAccess)
{
    OPCHANDLE a = AddOne(L"N.P.A");
    VARIANT value;
    value.vt = VT_R8;
    value.dblVal = 42.0;
    ASSERT_EQ(S_OK, WriteOne(a, value));
    COpcVariant read;
    ASSERT_EQ(S_OK, ReadAged(a, 0, read));
    EXPECT_EQ(VT_I2, read->vt);
    EXPECT_EQ(42, Number(read));

    value.vt = VT_EMPTY;
    EXPECT_EQ(OPC_E_BADTYPE, WriteOne(a, value));

    COpcVariant rights;
    SetInt32(rights.Get(), OPC_READABLE);
    SetProperty(L"N.P.A", OPC_DA_PROP_RIGHTS, *rights.Get());
    value.vt = VT_I4;
    value.lVal = 7;
    COpcTaskMem<HRESULT> errors;
    ASSERT_EQ(S_FALSE, m_sync->Write(1, &a, &value, errors.Receive()));
    EXPECT_EQ(OPC_E_BADRIGHTS, errors.Get()[0]);
    ASSERT_EQ(S_OK, ReadAged(a, 0, read));
    EXPECT_EQ(42, Number(read));
}

TEST_F(SyncIoTest, ValuesTheServerMustNotLookIntoAreRefused)
{
    OPCHANDLE a = AddOne(L"N.P.A");
    LONG target = 5;
    std::vector<VARIANT> values(4);
    values[0].vt = VT_BYREF | VT_I4;
    values[0].plVal = &target;
    values[1].vt = VT_DISPATCH;
    values[1].pdispVal = reinterpret_cast<IDispatch*>(static_cast<uintptr_t>(0x10)); // never touched
    values[2].vt = VT_ARRAY | VT_UNKNOWN;
    values[2].parray = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
    values[3].vt = VT_ARRAY | VT_VARIANT;
    values[3].parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    LONG index = 0;
    VARIANT inner;
    inner.vt = VT_UNKNOWN;
    inner.punkVal = nullptr;
    SafeArrayPutElement(values[3].parray, &index, &inner);
    std::vector<OPCHANDLE> handles(values.size(), a);
    COpcTaskMem<HRESULT> errors;
    ASSERT_EQ(S_FALSE,
              m_sync->Write(static_cast<DWORD>(values.size()), handles.data(), values.data(), errors.Receive()));
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(OPC_E_BADTYPE, errors.Get()[i]) << i;
    SafeArrayDestroy(values[2].parray);
    SafeArrayDestroy(values[3].parray);

    OPCITEMVQT vqt = {};
    vqt.vDataValue.vt = VT_BYREF | VT_I4;
    vqt.vDataValue.plVal = &target;
    ASSERT_EQ(S_FALSE, m_sync->WriteVQT(1, &a, &vqt, errors.Receive()));
    EXPECT_EQ(OPC_E_BADTYPE, errors.Get()[0]);
}

TEST_F(SyncIoTest, MaxAgeDecidesWhetherTheDeviceIsAsked)
{
    OPCHANDLE a = AddOne(L"N.P.A");
    SetDevice(L"N.P.A", 1);
    // Never refreshed: even the longest max age goes to the device once.
    COpcVariant value;
    FILETIME first = {};
    ASSERT_EQ(S_OK, ReadAged(a, 0xFFFFFFFF, value, &first));
    EXPECT_EQ(1, Number(value));
    EXPECT_NE(0u, Ticks(first));

    SetDevice(L"N.P.A", 2);
    FILETIME stamp = {};
    ASSERT_EQ(S_OK, ReadAged(a, 0xFFFFFFFF, value, &stamp));
    EXPECT_EQ(1, Number(value));
    EXPECT_EQ(Ticks(first), Ticks(stamp));
    ASSERT_EQ(S_OK, ReadAged(a, 500000, value)); // 500 s: far younger than that
    EXPECT_EQ(1, Number(value));
    // The cache read of OPC_DS_CACHE keeps it too; the device read does not.
    ASSERT_EQ(S_OK, ReadOne(OPC_DS_CACHE, a, value));
    EXPECT_EQ(1, Number(value));

    Sleep(20);
    ASSERT_EQ(S_OK, ReadAged(a, 0, value, &stamp));
    EXPECT_EQ(2, Number(value));
    EXPECT_GT(Ticks(stamp), Ticks(first));
    SetDevice(L"N.P.A", 3);
    ASSERT_EQ(S_OK, ReadOne(OPC_DS_DEVICE, a, value));
    EXPECT_EQ(3, Number(value));
}

TEST_F(SyncIoTest, WriteVqtPassesQualityAndTimeOnlyWhenSpecified)
{
    OPCHANDLE a = AddOne(L"N.P.A");
    OPCITEMVQT vqt = {};
    vqt.vDataValue.vt = VT_I2;
    vqt.vDataValue.iVal = 9;
    vqt.wQuality = 0x40; // set but not specified
    vqt.ftTimeStamp.dwHighDateTime = 0x01000000;
    COpcTaskMem<HRESULT> errors;
    ASSERT_EQ(S_OK, m_sync->WriteVQT(1, &a, &vqt, errors.Receive()));
    WORD quality = 0;
    ASSERT_EQ(S_OK, Item(L"N.P.A")->ReadItem(OPC_DA_READ_CACHE, COpcVariant().Get(), nullptr, &quality));
    EXPECT_EQ(OPC_QUALITY_GOOD, quality);

    vqt.bQualitySpecified = TRUE;
    vqt.bTimeStampSpecified = TRUE;
    vqt.vDataValue.iVal = 10;
    ASSERT_EQ(S_OK, m_sync->WriteVQT(1, &a, &vqt, errors.Receive()));
    COpcVariant value;
    FILETIME stamp = {};
    ASSERT_EQ(S_OK, Item(L"N.P.A")->ReadItem(OPC_DA_READ_CACHE, value.Get(), &stamp, &quality));
    EXPECT_EQ(0x40, quality);
    EXPECT_EQ(Ticks(vqt.ftTimeStamp), Ticks(stamp));
    EXPECT_EQ(10, Number(value));
}

TEST_F(SyncIoTest, ContactAndEnumeratedLabels)
{
    OPCHANDLE d = AddOne(L"N.P.D", VT_BSTR);
    COpcVariant on;
    SetBool(on.Get(), true);
    ASSERT_EQ(S_OK, Item(L"N.P.D")->WriteItem(OPC_DA_READ_DEVICE, *on.Get(), nullptr, nullptr, nullptr, true));
    COpcVariant value;
    ASSERT_EQ(S_OK, ReadOne(OPC_DS_DEVICE, d, value));
    ASSERT_EQ(VT_BSTR, value->vt);
    EXPECT_STREQ(L"ON", value->bstrVal);
    SetBool(on.Get(), false);
    ASSERT_EQ(S_OK, Item(L"N.P.D")->WriteItem(OPC_DA_READ_DEVICE, *on.Get(), nullptr, nullptr, nullptr, true));
    ASSERT_EQ(S_OK, ReadOne(OPC_DS_DEVICE, d, value));
    EXPECT_STREQ(L"OFF", value->bstrVal);

    // The analog tag made enumerated, with the labels Stop and Run.
    COpcVariant type, labels;
    SetInt32(type.Get(), OPC_ENUMERATED);
    COpcString texts[] = {COpcString(L"Stop"), COpcString(L"Run")};
    ASSERT_EQ(S_OK, StringsToArray(labels.Get(), texts, 2));
    SetProperty(L"N.P.A", OPC_DA_PROP_EUTYPE, *type.Get());
    SetProperty(L"N.P.A", OPC_DA_PROP_EUINFO, *labels.Get());
    OPCHANDLE a = AddOne(L"N.P.A", VT_BSTR);
    VARIANT text;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(L"Run");
    EXPECT_EQ(S_OK, WriteOne(a, text));
    SysFreeString(text.bstrVal);
    ASSERT_EQ(S_OK, ReadOne(OPC_DS_DEVICE, a, value));
    EXPECT_STREQ(L"Run", value->bstrVal);
    text.bstrVal = SysAllocString(L"run");
    EXPECT_EQ(OPC_E_BADTYPE, WriteOne(a, text));
    SysFreeString(text.bstrVal);
    SetDevice(L"N.P.A", 2);
    EXPECT_EQ(OPC_E_BADTYPE, ReadOne(OPC_DS_DEVICE, a, value));
}

TEST_F(SyncIoTest, EmptyTextReadAsBoolIsATypeMismatch)
{
    OPCHANDLE s = AddOne(L"N.P.S", VT_BOOL);
    COpcVariant value;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, ReadOne(OPC_DS_DEVICE, s, value));
}

TEST_F(SyncIoTest, ItemIoReadsAndWritesByItemId)
{
    COpcComPtr<IOPCItemIO> io;
    ASSERT_EQ(S_OK, m_server->QueryInterface(IID_IOPCItemIO, reinterpret_cast<void**>(io.Receive())));
    SetDevice(L"N.P.A", 21);
    LPCWSTR ids[] = {L"N.P.A", L"N.P.Nothing", L"N.P.A:101", L"N.P.A:abc", nullptr};
    DWORD ages[] = {0, 0, 0, 0, 0};
    COpcTaskMem<VARIANT> values;
    COpcTaskMem<WORD> qualities;
    COpcTaskMem<FILETIME> stamps;
    COpcTaskMem<HRESULT> errors;
    ASSERT_EQ(S_FALSE,
              io->Read(5, ids, ages, values.Receive(), qualities.Receive(), stamps.Receive(), errors.Receive()));
    EXPECT_EQ(S_OK, errors.Get()[0]);
    EXPECT_EQ(VT_I2, values.Get()[0].vt);
    EXPECT_EQ(21, values.Get()[0].iVal);
    EXPECT_EQ(OPC_QUALITY_GOOD, qualities.Get()[0]);
    EXPECT_NE(0u, Ticks(stamps.Get()[0]));
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, errors.Get()[1]);
    EXPECT_EQ(S_OK, errors.Get()[2]);
    ASSERT_EQ(VT_BSTR, values.Get()[2].vt);
    EXPECT_STREQ(L"test", values.Get()[2].bstrVal);
    EXPECT_EQ(OPC_QUALITY_GOOD, qualities.Get()[2]);
    EXPECT_EQ(OPC_E_INVALIDITEMID, errors.Get()[3]);
    EXPECT_EQ(OPC_E_INVALIDITEMID, errors.Get()[4]);
    for (DWORD i = 0; i < 5; ++i)
        VariantClear(&values.Get()[i]);

    OPCITEMVQT vqts[2] = {};
    vqts[0].vDataValue.vt = VT_I4;
    vqts[0].vDataValue.lVal = 33;
    vqts[1] = vqts[0];
    LPCWSTR targets[] = {L"N.P.A", L"N.P.A:101"};
    ASSERT_EQ(S_FALSE, io->WriteVQT(2, targets, vqts, errors.Receive()));
    EXPECT_EQ(S_OK, errors.Get()[0]);
    EXPECT_EQ(OPC_E_BADRIGHTS, errors.Get()[1]); // a property names no writable value
    COpcVariant read;
    ASSERT_EQ(S_OK, Item(L"N.P.A")->ReadItem(OPC_DA_READ_CACHE, read.Get(), nullptr, nullptr));
    EXPECT_EQ(33, Number(read));

    EXPECT_EQ(E_INVALIDARG,
              io->Read(0, ids, ages, values.Receive(), qualities.Receive(), stamps.Receive(), errors.Receive()));
    EXPECT_EQ(E_INVALIDARG,
              io->Read(1, ids, nullptr, values.Receive(), qualities.Receive(), stamps.Receive(), errors.Receive()));
    EXPECT_EQ(nullptr, values.Get());
    EXPECT_EQ(E_OUTOFMEMORY, io->WriteVQT(0xFFFFFFFF, targets, vqts, errors.Receive()));
    EXPECT_EQ(E_INVALIDARG, io->WriteVQT(1, nullptr, vqts, errors.Receive()));
}

TEST_F(SyncIoTest, ConcurrentCallersEachReceiveTheirOwnResults)
{
    SetDevice(L"N.P.A", 5);
    OPCHANDLE a = AddOne(L"N.P.A");
    OPCHANDLE d = AddOne(L"N.P.D", VT_I4);
    auto reader = [this](OPCHANDLE handle, VARTYPE expected, int* failures)
    {
        COpcApartment com;
        for (int i = 0; i < 200; ++i)
        {
            COpcTaskMem<OPCITEMSTATE> states;
            COpcTaskMem<HRESULT> errors;
            if (m_sync->Read(OPC_DS_DEVICE, 1, &handle, states.Receive(), errors.Receive()) != S_OK ||
                states.Get()[0].vDataValue.vt != expected)
                ++*failures;
            if (states.Get() != nullptr)
                VariantClear(&states.Get()[0].vDataValue);
        }
    };
    int failuresA = 0, failuresD = 0;
    std::thread first(reader, a, VT_I2, &failuresA);
    std::thread second(reader, d, VT_I4, &failuresD);
    first.join();
    second.join();
    EXPECT_EQ(0, failuresA);
    EXPECT_EQ(0, failuresD);
}

TEST(RequestWorker, RunsRequestsOnItsOwnThreadAndRefusesThemOnceStopped)
{
    COpcDaRequestWorker worker;
    DWORD executedOn = 0;
    auto request = OpcDaMakeRequest(
        [&]()
        {
            executedOn = GetCurrentThreadId();
            return S_FALSE;
        });
    EXPECT_EQ(E_FAIL, worker.Run(COpcDaRequestWorker::GroupRead, request)); // not started
    EXPECT_EQ(0u, executedOn);
    ASSERT_TRUE(worker.Start(nullptr));
    EXPECT_EQ(S_FALSE, worker.Run(COpcDaRequestWorker::ItemWrite, request));
    EXPECT_EQ(worker.ThreadId(), executedOn);
    EXPECT_NE(GetCurrentThreadId(), executedOn);
    EXPECT_EQ(E_INVALIDARG, worker.Run(0x2414, request)); // the stop message is no request kind
    worker.Stop();
    executedOn = 0;
    EXPECT_EQ(E_FAIL, worker.Run(COpcDaRequestWorker::GroupRead, request));
    EXPECT_EQ(0u, executedOn);
}

TEST_F(SyncIoTest, DeadbandKeepsTheCachedValueButTheTimeMovesOn)
{
    OPCHANDLE db = AddOne(L"N.P.Db");
    SetDevice(L"N.P.Db", 50);
    COpcVariant value;
    FILETIME first = {}, stamp = {};
    ASSERT_EQ(S_OK, ReadAged(db, 0, value, &first));
    EXPECT_EQ(50, Number(value));
    SetDevice(L"N.P.Db", 52); // 2 % of 0..100: inside the deadband
    Sleep(20);
    ASSERT_EQ(S_OK, ReadAged(db, 0, value, &stamp));
    EXPECT_EQ(50, Number(value));
    EXPECT_GT(Ticks(stamp), Ticks(first));
    SetDevice(L"N.P.Db", 56);
    ASSERT_EQ(S_OK, ReadAged(db, 0, value));
    EXPECT_EQ(56, Number(value));
}
