// The Wine lane's CE libraries on their own: TAPI's cellular line and the
// kernel's platform question without a module; the RIL and the cellular
// line's equipment state against kxmodem, whose AT port is COM9 here
// (scripts/wine-with-modem.sh starts it with its default identification).
#include <gtest/gtest.h>

#include <windows.h>

#include <extapi.h>
#include <pkfuncs.h>
#include <ril.h>
#include <tapi.h>

#include <string.h>

#include <string>

namespace {

// ---- TAPI and the kernel ------------------------------------------------------------------

struct Caps {
    union {
        LINEDEVCAPS caps;
        BYTE bytes[1024];
    };
    explicit Caps(DWORD total) {
        memset(bytes, 0xCC, sizeof(bytes));
        caps.dwTotalSize = total;
    }
    std::wstring Name() const {
        return std::wstring((const WCHAR *)(bytes + caps.dwLineNameOffset),
                            caps.dwLineNameSize / sizeof(WCHAR) - 1);
    }
};

TEST(CellularLine, OneLineNamedAndOpenedAsOnTheHandheld) {
    HLINEAPP app = 0;
    DWORD devices = 0, version = 0x00030000;
    LINEINITIALIZEEXPARAMS params;
    memset(&params, 0, sizeof(params));
    params.dwTotalSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    ASSERT_EQ(0, lineInitializeExW(&app, NULL, NULL, L"test", &devices, &version, &params));
    EXPECT_EQ(1u, devices);
    EXPECT_EQ(0x00020000u, version); // the highest this TAPI knows
    EXPECT_NE(nullptr, params.Handles.hEvent);

    Caps full(sizeof(Caps));
    ASSERT_EQ(0, lineGetDevCapsW(app, 0, 0x00020000, 0, &full.caps));
    EXPECT_EQ(L"Cellular Line", full.Name());
    EXPECT_EQ(full.caps.dwNeededSize, full.caps.dwUsedSize);
    EXPECT_EQ(DWORD(STRINGFORMAT_UNICODE), full.caps.dwStringFormat);

    // Room for the fixed part only: the size needed, no name.
    Caps fixed(sizeof(LINEDEVCAPS));
    ASSERT_EQ(0, lineGetDevCapsW(app, 0, 0x00020000, 0, &fixed.caps));
    EXPECT_EQ(full.caps.dwNeededSize, fixed.caps.dwNeededSize);
    EXPECT_GT(fixed.caps.dwNeededSize, fixed.caps.dwTotalSize);
    EXPECT_EQ(0u, fixed.caps.dwLineNameSize);
    EXPECT_EQ(0xCC, fixed.bytes[sizeof(LINEDEVCAPS)]); // nothing written past the buffer

    Caps small(sizeof(LINEDEVCAPS) - 4);
    EXPECT_EQ(LINEERR_STRUCTURETOOSMALL, lineGetDevCapsW(app, 0, 0x00020000, 0, &small.caps));
    EXPECT_EQ(LINEERR_BADDEVICEID, lineGetDevCapsW(app, 1, 0x00020000, 0, &full.caps));
    EXPECT_EQ(LINEERR_INCOMPATIBLEAPIVERSION, lineGetDevCapsW(app, 0, 0x00030000, 0, &full.caps));

    HLINE line = 0;
    ASSERT_EQ(0, lineOpenW(app, 0, &line, 0x00020000, 0, 0,
                           LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER,
                           LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_DATAMODEM, NULL));
    EXPECT_NE(0u, line);
    // Shutting the application down closes its lines.
    EXPECT_EQ(0, lineShutdown(app));
    EXPECT_EQ(LINEERR_INVALLINEHANDLE, lineClose(line));
    EXPECT_EQ(LINEERR_INVALAPPHANDLE, lineGetDevCapsW(app, 0, 0x00020000, 0, &full.caps));
    EXPECT_EQ(LINEERR_INVALAPPHANDLE, lineShutdown(app));
}

TEST(CellularLine, RefusesWhatTheHandheldRefuses) {
    HLINEAPP app = 0;
    DWORD devices = 0, version = 0x00010002;
    EXPECT_EQ(LINEERR_INCOMPATIBLEAPIVERSION,
              lineInitializeExW(&app, NULL, NULL, NULL, &devices, &version, NULL));
    version = 0x00020000;
    EXPECT_EQ(LINEERR_INVALPOINTER,
              lineInitializeExW(&app, NULL, NULL, NULL, NULL, &version, NULL));
    ASSERT_EQ(0, lineInitializeExW(&app, NULL, NULL, NULL, &devices, &version, NULL));
    HLINE line = 0;
    EXPECT_EQ(LINEERR_BADDEVICEID,
              lineOpenW(app, 1, &line, 0x00020000, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, NULL));
    EXPECT_EQ(LINEERR_INVALMEDIAMODE,
              lineOpenW(app, 0, &line, 0x00020000, 0, 0, LINECALLPRIVILEGE_OWNER,
                        LINEMEDIAMODE_G3FAX, NULL));
    EXPECT_EQ(LINEERR_INVALAPPHANDLE,
              lineOpenW(app + 5, 0, &line, 0x00020000, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, NULL));
    EXPECT_EQ(0, lineShutdown(app));
    DWORD state = 0, radio = 0;
    EXPECT_EQ(LINEERR_INVALLINEHANDLE, lineGetEquipmentState(0, &state, &radio));
}

TEST(Kernel, AnswersOnlyThePlatformQuestion) {
    DWORD input = 4, output = 0, returned = 0;
    ASSERT_TRUE(
        KernelIoControl(0x01012A50, &input, sizeof(input), &output, sizeof(output), &returned));
    EXPECT_EQ(5u, output);
    EXPECT_EQ(sizeof(DWORD), returned);
    EXPECT_FALSE(KernelIoControl(0x01012A50, &input, sizeof(input), &output, 2, &returned));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(
        KernelIoControl(0x01010000, &input, sizeof(input), &output, sizeof(output), &returned));
    EXPECT_EQ(DWORD(ERROR_NOT_SUPPORTED), GetLastError());
    EXPECT_EQ(0u, returned);
}

// ---- the RIL against the module -----------------------------------------------------------

// The results one instance received, in order; the RIL thread writes them
// and sets `arrived` after each.
struct Results {
    HANDLE arrived = CreateEventW(NULL, FALSE, FALSE, NULL);
    CRITICAL_SECTION lock;
    struct Result {
        DWORD code;
        HRESULT id;
        std::string data;
    };
    Result last = {0, 0, ""}; // guarded by lock
    int count = 0;            // guarded by lock
    HRIL closeFromCallback = NULL;
    HRESULT closedWith = E_FAIL;

    Results() { InitializeCriticalSection(&lock); }
    ~Results() {
        CloseHandle(arrived);
        DeleteCriticalSection(&lock);
    }
    static void CALLBACK Callback(DWORD code, HRESULT id, const void *data, DWORD size,
                                  DWORD_PTR param) {
        Results *self = (Results *)param;
        if (self->closeFromCallback != NULL)
            self->closedWith = RIL_Deinitialize(self->closeFromCallback);
        EnterCriticalSection(&self->lock);
        self->last.code = code;
        self->last.id = id;
        self->last.data = data ? std::string((const char *)data, size) : std::string();
        self->count++;
        LeaveCriticalSection(&self->lock);
        SetEvent(self->arrived);
    }
    // The next result, or code 0 when none came within the limit.
    Result Next(DWORD limitMs = 5000) {
        if (WaitForSingleObject(arrived, limitMs) != WAIT_OBJECT_0)
            return Result{0, 0, ""};
        EnterCriticalSection(&lock);
        Result r = last;
        LeaveCriticalSection(&lock);
        return r;
    }
};

void UsePort(const wchar_t *port) {
    HKEY key = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Drivers\\BuiltIn\\RIL", 0, NULL,
                                             0, KEY_SET_VALUE, NULL, &key, NULL));
    RegSetValueExW(key, L"ComPort", 0, REG_SZ, (const BYTE *)port,
                   DWORD((wcslen(port) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

// The device-specific request: the AT command code and the command text.
HRESULT AtCommand(HRIL ril, const std::string &text) {
    std::string request(sizeof(DWORD), '\0');
    DWORD code = RIL_DEVSPECIFIC_ATCOMMAND;
    memcpy(&request[0], &code, sizeof(code));
    request += text;
    return RIL_DevSpecific(ril, (const BYTE *)request.data(), DWORD(request.size()));
}

class RilTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UsePort(L"COM9");
        ASSERT_EQ(S_OK, RIL_Initialize(1, Results::Callback, NULL, 0, (DWORD_PTR)&results, &ril));
    }
    void TearDown() override {
        if (ril != NULL) {
            EXPECT_EQ(S_OK, RIL_Deinitialize(ril));
        }
    }
    Results results;
    HRIL ril = NULL;
};

TEST_F(RilTest, PassesAnAtCommandThroughAndAnswersWithTheModulesText) {
    HRESULT id = AtCommand(ril, "ATI1");
    ASSERT_GT(id, 0);
    Results::Result r = results.Next();
    EXPECT_EQ(RIL_RESULT_OK, r.code);
    EXPECT_EQ(id, r.id);
    EXPECT_EQ("\r\nManufacturer: KxWireless\r\nModel: KX-H750 HSDPA\r\n"
              "Revision: KXH750_R1.4.2 2007-05-14\r\nIMEI: 004999010640000\r\n\r\nOK\r\n",
              r.data);
    // A command the module refuses.
    ASSERT_GT(AtCommand(ril, "AT+KXBOGUS"), 0);
    EXPECT_EQ(RIL_RESULT_ERROR, results.Next().code);
}

TEST_F(RilTest, RefusesRequestsThatAreNotOneAtCommandLine) {
    EXPECT_EQ(E_INVALIDARG, AtCommand(ril, "AT\rATI1"));
    EXPECT_EQ(E_INVALIDARG, AtCommand(ril, ""));
    EXPECT_EQ(E_INVALIDARG, RIL_DevSpecific(ril, (const BYTE *)"AT", 2));
    DWORD other[2] = {7, 0};
    EXPECT_EQ(E_NOTIMPL, RIL_DevSpecific(ril, (const BYTE *)other, sizeof(other)));
    EXPECT_EQ(E_INVALIDARG, RIL_GetEquipmentState((HRIL)&other));
}

TEST_F(RilTest, EquipmentStateFollowsTheRadioThroughTheRilAndTheCellularLine) {
    HRIL second = NULL;
    Results secondResults;
    // A second instance shares the one COM port.
    ASSERT_EQ(S_OK,
              RIL_Initialize(1, Results::Callback, NULL, 0, (DWORD_PTR)&secondResults, &second));
    ASSERT_GT(AtCommand(second, "AT+CFUN=0"), 0);
    EXPECT_EQ(RIL_RESULT_OK, secondResults.Next().code);
    ASSERT_GT(RIL_GetEquipmentState(ril), 0);
    Results::Result r = results.Next();
    ASSERT_EQ(RIL_RESULT_OK, r.code);
    ASSERT_EQ(sizeof(RILEQUIPMENTSTATE), r.data.size());
    RILEQUIPMENTSTATE state;
    memcpy(&state, r.data.data(), sizeof(state));
    EXPECT_EQ(RIL_EQSTATE_MINIMUM, state.dwEqState);
    EXPECT_EQ(RIL_RADIOSUPPORT_OFF, state.dwRadioSupport);

    // The cellular line asks through an instance of its own, while these two
    // hold the port.
    DWORD level = 0, radio = 0;
    EXPECT_EQ(0, lineGetEquipmentState((HLINE)1, &level, &radio));
    EXPECT_EQ(DWORD(LINEEQUIPSTATE_MINIMUM), level);
    EXPECT_EQ(DWORD(LINERADIOSUPPORT_OFF), radio);
    ASSERT_GT(AtCommand(second, "AT+CFUN=1"), 0);
    EXPECT_EQ(RIL_RESULT_OK, secondResults.Next().code);
    EXPECT_EQ(S_OK, RIL_Deinitialize(second));
    EXPECT_EQ(0, lineGetEquipmentState((HLINE)1, &level, &radio));
    EXPECT_EQ(DWORD(LINEEQUIPSTATE_FULL), level);
    EXPECT_EQ(DWORD(LINERADIOSUPPORT_ON), radio);
}

TEST_F(RilTest, AnInstanceClosedFromItsOwnCallbackGetsNothingMore) {
    results.closeFromCallback = ril;
    ASSERT_GT(AtCommand(ril, "AT"), 0);
    ASSERT_GT(AtCommand(ril, "AT"), 0);
    EXPECT_EQ(RIL_RESULT_OK, results.Next().code);
    EXPECT_EQ(S_OK, results.closedWith);
    // The second command's result never comes (the module answers "AT" in
    // milliseconds).
    EXPECT_EQ(0u, results.Next(500).code);
    EXPECT_EQ(E_INVALIDARG, AtCommand(ril, "AT"));
    ril = NULL;
    // The port is still usable for a new instance.
    Results again;
    HRIL next = NULL;
    ASSERT_EQ(S_OK, RIL_Initialize(1, Results::Callback, NULL, 0, (DWORD_PTR)&again, &next));
    ASSERT_GT(AtCommand(next, "ATI"), 0);
    Results::Result r = again.Next();
    EXPECT_EQ(RIL_RESULT_OK, r.code);
    EXPECT_EQ("\r\nKX-H750 HSDPA\r\n\r\nOK\r\n", r.data);
    EXPECT_EQ(S_OK, RIL_Deinitialize(next));
}

TEST(RilPort, NoModuleOnThePortFailsTheInitialization) {
    UsePort(L"COM8"); // nothing there
    Results results;
    HRIL ril = (HRIL)1;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_DEV_NOT_EXIST),
              RIL_Initialize(1, Results::Callback, NULL, 0, (DWORD_PTR)&results, &ril));
    EXPECT_EQ(nullptr, ril);
    UsePort(L"COM9");
}

} // namespace
