// ModemAbout through its control-panel entry: the CPL messages, the page's
// rows and positions, the HAC option, the module's identification and the
// driver versions, with a scripted RIL (and once with the ril library over
// a module AT port).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "applet_support.h"
#include "kx_platform_test.h"
#include "kx_sheet_test.h"
#include "kx_window_test.h"
#include <windows.h>
#include <cpl.h>

using namespace applet_test;

namespace {

const std::string kFourLines = "\r\nManufacturer: KX\r\nModel: KXA-7\r\nRevision: 2.41\r\n"
                               "IMEI: 3569\r\n\r\nOK\r\n";

std::string Row(int y, const std::string &text) {
    return "STATIC 20," + std::to_string(y) + " 400x40 \"" + text + "\"";
}
std::string Box(int y, bool checked) {
    return "BUTTON 20," + std::to_string(y) + " 400x40 \"Use HAC Audio Mode\"" +
           (checked ? " checked" : "");
}

class AppletTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kxtest::ResetLineDevices();
        kxtest::ResetPlatformQuestion();
        kxtest::ClearWindowFaults();
        kxtest::ClearForegroundRequests();
        kxtest::ClearSheetScript();
        kxtest::ResetSheetRecord();
        DeleteHacMode();
        windows_ = kxtest::LiveWindowCount();
    }
    void TearDown() override {
        kxtest::ClearSheetScript();
        kxtest::ResetLineDevices();
        kxtest::SetTimeScale(1);
        EXPECT_EQ(kxtest::LineAppCount(), 0);
        EXPECT_EQ(kxtest::OpenLineCount(), 0);
        EXPECT_EQ(kxtest::LiveWindowCount(), windows_);
    }

    // CPL_INIT, CPL_DBLCLK (the sheet, with `script`), CPL_EXIT; the page as
    // shown, without the sheet's line.
    std::vector<std::string> ShowPage(const std::string &script = "") {
        Applet applet;
        EXPECT_EQ(applet.Send(CPL_INIT), 1);
        kxtest::SetSheetScript(kxtest::ParseSheetScript(script));
        EXPECT_EQ(applet.Send(CPL_DBLCLK), 0);
        EXPECT_EQ(applet.Send(CPL_EXIT), 0);
        kxtest::SheetRecord r = kxtest::LastSheet();
        return r.dumps.empty() ? std::vector<std::string>{} : PageLines(r.dumps[0]);
    }

    int windows_ = 0;
};

// ---- CPL messages ----------------------------------------------------------------------

TEST_F(AppletTest, ControlPanelMessagesAndTheEntry) {
    AtModule module;
    Applet applet;
    int asked = kxtest::PlatformQuestionCount();
    EXPECT_EQ(applet.Send(CPL_INIT), 1);
    EXPECT_EQ(applet.Send(CPL_INIT), 0); // already initialised: the platform is not asked again
    EXPECT_EQ(kxtest::PlatformQuestionCount(), asked + 1);
    EXPECT_EQ(kxtest::OpenLineCount(), 1);
    EXPECT_EQ(applet.Send(CPL_GETCOUNT), 1);

    CPLINFO old{-1, -1, -1, -1};
    EXPECT_EQ(applet.Send(CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&old)), 0);
    EXPECT_EQ(old.idIcon, -1); // not served
    EXPECT_EQ(applet.Send(CPL_SELECT), 0);
    EXPECT_EQ(applet.Send(CPL_STOP), 0);
    EXPECT_EQ(applet.Send(0x1234), 0);

    NEWCPLINFO info;
    memset(&info, 0xAB, sizeof(info));
    EXPECT_EQ(applet.Send(CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
    EXPECT_EQ(info.dwSize, sizeof(NEWCPLINFO)); // 468 on the 32-bit target
    EXPECT_EQ(info.dwFlags, 0u);
    EXPECT_EQ(info.dwHelpContext, 0u);
    LONG_PTR data = info.lData; // the record is packed: no reference to its fields
    EXPECT_EQ(data, 2);
    EXPECT_EQ(Utf8(info.szName), "RIL");
    EXPECT_EQ(info.szInfo[0], 0);
    EXPECT_EQ(info.szHelpFile[0], 0);
    int w = 0, h = 0, bpp = 0;
    ASSERT_TRUE(kxtest::IconDetails(info.hIcon, &w, &h, &bpp));
    EXPECT_EQ(w, 32);
    EXPECT_EQ(bpp, 32);

    NEWCPLINFO untouched;
    memset(&untouched, 0xAB, sizeof(untouched));
    EXPECT_EQ(applet.Send(CPL_NEWINQUIRE, 1, reinterpret_cast<LPARAM>(&untouched)), 0);
    EXPECT_EQ(untouched.dwSize, 0xABABABABu);
    EXPECT_EQ(applet.Send(CPL_NEWINQUIRE, 0, 0), 0);

    EXPECT_EQ(applet.Send(CPL_EXIT), 0);
    EXPECT_EQ(kxtest::LineAppCount(), 0);
}

TEST_F(AppletTest, InitFailsWithoutThePlatformAnswerOrACellularLine) {
    AtModule module;
    {
        kxtest::SetPlatformQuestion(false, 5);
        Applet applet;
        EXPECT_EQ(applet.Send(CPL_INIT), 0);
        kxtest::ResetPlatformQuestion();
        EXPECT_EQ(applet.Send(CPL_INIT), 0); // initCount stays 1 after a failure
        applet.Send(CPL_EXIT);
    }
    {
        kxtest::SetPlatformQuestion(true, 4);
        Applet applet;
        EXPECT_EQ(applet.Send(CPL_INIT), 0);
        EXPECT_EQ(kxtest::LineAppCount(), 0);
        kxtest::ResetPlatformQuestion();
    }
    {
        kxtest::SetLineDevices({{u"Cellular line", true}, {u"Other", true}});
        Applet applet;
        EXPECT_EQ(applet.Send(CPL_INIT), 0);
        EXPECT_EQ(kxtest::OpenLineCount(), 0);
        applet.Send(CPL_EXIT); // shuts TAPI down
    }
    {
        kxtest::SetLineDevices({});
        Applet applet;
        EXPECT_EQ(applet.Send(CPL_INIT), 0);
        applet.Send(CPL_EXIT);
    }
}

TEST_F(AppletTest, SecondOfTwoCellularLinesIsUsedWhenTheFirstCannotOpen) {
    AtModule module;
    kxtest::SetLineDevices({{u"Cellular Line", false}, {u"Cellular Line", true}});
    kxtest::ClearLineOpenAttempts();
    Applet applet;
    EXPECT_EQ(applet.Send(CPL_INIT), 1);
    EXPECT_EQ(kxtest::LineOpenAttempts(), (std::vector<DWORD>{0, 1}));
    EXPECT_EQ(kxtest::OpenLineCount(), 1);
    applet.Send(CPL_EXIT);
}

TEST_F(AppletTest, SecondDoubleClickActivatesTheHostInsteadOfASecondSheet) {
    AtModule module;
    ScriptedRil ril({});
    Applet applet;
    ASSERT_EQ(applet.Send(CPL_INIT), 1);
    EXPECT_EQ(applet.Send(CPL_DBLCLK), 0);
    EXPECT_EQ(kxtest::LastSheet().sheets, 1);
    EXPECT_EQ(applet.Send(CPL_DBLCLK), 0);
    EXPECT_EQ(kxtest::LastSheet().sheets, 1);
    HWND asked = reinterpret_cast<HWND>(reinterpret_cast<ULONG_PTR>(applet.Host()) | 1);
    EXPECT_EQ(kxtest::ForegroundRequests(), std::vector<HWND>{asked});
    EXPECT_EQ(GetForegroundWindow(), applet.Host());
    applet.Send(CPL_EXIT);
}

// Mended: CPL_EXIT without an open used to wrap openCount to 255, which kept
// the sheet from ever opening again during the load.
TEST_F(AppletTest, ExitWithoutAnOpenDoesNotLockTheSheet) {
    AtModule module;
    ScriptedRil ril({});
    Applet applet;
    ASSERT_EQ(applet.Send(CPL_INIT), 1);
    applet.Send(CPL_EXIT);
    applet.Send(CPL_EXIT); // a stray second exit lowers nothing below 0
    ASSERT_EQ(applet.Send(CPL_INIT), 1);
    EXPECT_EQ(applet.Send(CPL_DBLCLK), 0);
    EXPECT_EQ(kxtest::LastSheet().sheets, 1);
    EXPECT_TRUE(kxtest::ForegroundRequests().empty());
    applet.Send(CPL_EXIT);
}

// ---- the sheet and the page -----------------------------------------------------------------

TEST_F(AppletTest, FullPageRowsOrderPositionsAndTheSheet) {
    AtModule module;
    DeviceRoot root;
    root.AddAllDrivers();
    RilScript script;
    script.data = kFourLines;
    ScriptedRil ril(script);
    kxtest::ClearCursorHistory();
    std::vector<std::string> page = ShowPage();
    EXPECT_EQ(page,
              (std::vector<std::string>{
                  Row(10, "Manufacturer: KX"), Row(50, "Model: KXA-7"), Row(90, "Revision: 2.41"),
                  Row(130, "IMEI: 3569"), Row(170, "radioif.dll : 6.1.2009.1204"),
                  Row(210, "radiohw.dll : 6.1.2009.1117"), Row(250, "KxUsbDrv.dll : 2.3.0.15"),
                  Row(290, "KxCmdApi.dll : 1.0.0.1"), Row(330, "mbnlink.dll : 1.0.4.2"),
                  Row(370, "chanmux.dll : 3.2.0.7"), Box(410, false)}));
    kxtest::SheetRecord r = kxtest::LastSheet();
    EXPECT_EQ(r.callbackVersion, 0x20E);
    EXPECT_EQ(r.templateStyle & DWORD(WS_POPUP), 0u);
    EXPECT_NE(r.templateStyle & DWORD(WS_CAPTION), 0u);
    EXPECT_EQ(r.title, u"RIL Information");

    // The request: code 6 and "ATI1" without its terminator, on port 1, for
    // the device-specific class alone; the connection ended.
    ASSERT_EQ(ril.Requests().size(), 1u);
    EXPECT_EQ(ril.Requests()[0], std::string("\x06\x00\x00\x00"
                                             "ATI1",
                                             8));
    EXPECT_EQ(ril.PortIndexes(), std::vector<DWORD>{1});
    EXPECT_EQ(ril.NotificationClasses(), std::vector<DWORD>{0x80000000u});
    EXPECT_EQ(ril.Deinitializations(), 1);
    // The wait cursor while the module is asked, then none.
    std::vector<HCURSOR> cursors = kxtest::CursorHistory();
    ASSERT_EQ(cursors.size(), 2u);
    EXPECT_EQ(kxtest::CursorId(cursors[0]), 0x7F02);
    EXPECT_EQ(cursors[1], nullptr);
}

TEST_F(AppletTest, CheckboxAtTheTopWhenNoRowCanBeShown) {
    AtModule module;
    module.SetResponder(
        [](const std::string &) { return std::vector<std::string>{"\r\nERROR\r\n"}; });
    DeviceRoot root; // no driver files
    ScriptedRil ril({});
    EXPECT_EQ(ShowPage(), std::vector<std::string>{Box(10, false)});
    EXPECT_TRUE(ril.Requests().empty()); // the equipment state failed: nothing asked
}

TEST_F(AppletTest, RowsThatCannotBeCreatedAreLeftOut) {
    AtModule module;
    DeviceRoot root;
    root.Add("KxCmdApi.dll");
    root.Add("chanmux.dll");
    RilScript script;
    script.data = kFourLines;
    ScriptedRil ril(script);
    kxtest::FailNextCreateWindow(u"STATIC", 2);
    EXPECT_EQ(ShowPage(),
              (std::vector<std::string>{Row(10, "Revision: 2.41"), Row(50, "IMEI: 3569"),
                                        Row(90, "KxCmdApi.dll : 1.0.0.1"),
                                        Row(130, "chanmux.dll : 3.2.0.7"), Box(170, false)}));
}

TEST_F(AppletTest, HacOptionIsReadAndStoredAtEachClick) {
    AtModule module;
    DeviceRoot root;
    ScriptedRil ril({});
    struct Case {
        bool present;
        DWORD value;
        bool checked;
    };
    for (Case c :
         {Case{true, 1, true}, Case{true, 0, false}, Case{true, 2, false}, Case{false, 0, false}}) {
        if (c.present)
            SetHacMode(c.value);
        else
            DeleteHacMode();
        std::vector<std::string> page = ShowPage();
        ASSERT_FALSE(page.empty());
        EXPECT_EQ(page.back(), Box(170, c.checked)) << "HACMode " << c.value;
    }

    DeleteHacMode();
    std::vector<std::string> page = ShowPage("click:BUTTON");
    DWORD value = 99;
    ASSERT_TRUE(ReadHacMode(value));
    EXPECT_EQ(value, 1u);
    kxtest::SheetRecord r = kxtest::LastSheet();
    ASSERT_EQ(r.dumps.size(), 2u); // shown, after the click
    EXPECT_EQ(PageLines(r.dumps[1]).back(), Box(170, true));

    ShowPage("click:BUTTON,click:BUTTON,click:BUTTON");
    ASSERT_TRUE(ReadHacMode(value));
    EXPECT_EQ(value, 0u); // shown checked (1); clicks store 0, 1, 0
}

TEST_F(AppletTest, CheckboxThatCannotBeCreatedIsReported) {
    AtModule module;
    DeviceRoot root;
    ScriptedRil ril({});
    SetHacMode(1);
    kxtest::DebugCapture capture;
    kxtest::FailNextCreateWindow(u"BUTTON", 1);
    std::vector<std::string> page = ShowPage("click:BUTTON");
    EXPECT_EQ(page.size(), 4u);
    for (const std::string &line : page)
        EXPECT_EQ(line.rfind("STATIC", 0), 0u);
    EXPECT_EQ(capture.Text(), "ModemAboutUI: Failed to create option for HAC audio mode.\r\n");
}

// ---- the module's identification
// -----------------------------------------------------------------

TEST_F(AppletTest, RadioOffOrRilFailureShowsPhoneOff) {
    AtModule module;
    DeviceRoot root;
    root.Add("KxCmdApi.dll");
    const std::vector<std::string> phoneOff{Row(10, "Modem Information : Phone Off"),
                                            Row(50, "KxCmdApi.dll : 1.0.0.1"), Box(90, false)};
    {
        module.SetFunctionality(0);
        ScriptedRil ril({});
        EXPECT_EQ(ShowPage(), phoneOff);
        EXPECT_TRUE(ril.Requests().empty());
        EXPECT_EQ(ril.Deinitializations(), 1);
    }
    {
        module.SetFunctionality(1);
        RilScript script;
        script.initializeResult = E_FAIL;
        ScriptedRil ril(script);
        EXPECT_EQ(ShowPage(), phoneOff);
        EXPECT_EQ(ril.Deinitializations(), 0); // there was no connection to end
    }
    {
        // Neither on nor off: no modem row.
        module.SetFunctionality(7);
        ScriptedRil ril({});
        EXPECT_EQ(ShowPage(),
                  (std::vector<std::string>{Row(10, "KxCmdApi.dll : 1.0.0.1"), Box(50, false)}));
    }
}

TEST_F(AppletTest, NoAnswerWithinTheLimitShowsNotResponding) {
    AtModule module;
    DeviceRoot root;
    const std::vector<std::string> notResponding{Row(10, "Modem Information : Not responding"),
                                                 Box(50, false)};
    kxtest::SetTimeScale(0.01); // the 5000 ms limit lasts 50 ms
    {
        RilScript script;
        script.answers = false;
        ScriptedRil ril(script);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ShowPage(), notResponding);
        auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(45));
        EXPECT_LT(waited, std::chrono::milliseconds(4000));
    }
    {
        RilScript script;
        script.resultCode = RIL_RESULT_ERROR;
        script.data = "\r\nERROR\r\n";
        ScriptedRil ril(script);
        EXPECT_EQ(ShowPage(), notResponding);
    }
    {
        RilScript script;
        script.nullData = true;
        ScriptedRil ril(script);
        EXPECT_EQ(ShowPage(), notResponding);
    }
    {
        // An answer after the limit: the page goes on, the connection is
        // ended before the event is released, and the late callback is
        // harmless.
        RilScript script;
        script.data = kFourLines;
        script.delayMilliseconds = 150;
        ScriptedRil ril(script);
        EXPECT_EQ(ShowPage(), notResponding);
    }
}

// The answer is split at CR LF; entry 0 is never shown; text after the last
// CR LF is dropped; at most 2047 bytes are split.
TEST_F(AppletTest, AnswersSplitIntoLines) {
    AtModule module;
    DeviceRoot root;
    auto rows = [](const std::vector<std::string> &texts) {
        std::vector<std::string> out;
        int y = 10;
        for (const std::string &t : texts) {
            out.push_back(Row(y, t));
            y += 40;
        }
        out.push_back(Box(y, false));
        return out;
    };
    {
        RilScript script;
        script.data = "\r\nA\r\nB\r\nC\r\nD\r\n\r\nOK\r\n";
        ScriptedRil ril(script);
        EXPECT_EQ(ShowPage(), rows({"A", "B", "C", "D"}));
    }
    {
        // No CR LF at all: the event is set at once; the rows show the
        // entries' earlier content, empty at first use.
        RilScript script;
        script.data = "no line end";
        ScriptedRil ril(script);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ShowPage(), rows({"", "", "", ""}));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    }
    {
        // During one load: a first answer fills the entries; a second one
        // made of X CR LF and Y stores X in entry 0 and drops Y.
        Applet applet;
        RilScript first;
        first.data = "\r\nA\r\nB\r\nC\r\nD\r\n\r\nOK\r\n";
        {
            ScriptedRil ril(first);
            ASSERT_EQ(applet.Send(CPL_INIT), 1);
            applet.Send(CPL_DBLCLK);
            applet.Send(CPL_EXIT);
        }
        RilScript second;
        second.data = "X\r\nY";
        ScriptedRil ril(second);
        ASSERT_EQ(applet.Send(CPL_INIT), 1);
        applet.Send(CPL_DBLCLK);
        applet.Send(CPL_EXIT);
        EXPECT_EQ(PageLines(kxtest::LastSheet().dumps[0]), rows({"A", "B", "C", "D"}));
    }
    {
        // Longer than 2047 bytes: a line whose CR LF ends at byte 2047 is
        // kept; one whose LF would be byte 2048 is not.
        RilScript script;
        std::string first(2000, 'a');
        script.data = first + "\r\n" + std::string(43, 'B') + "\r\n" + "C\r\nD\r\nE\r\n";
        ScriptedRil ril(script);
        EXPECT_EQ(ShowPage(), rows({std::string(43, 'B'), "", "", ""}));
        script.data = first + "\r\n" + std::string(44, 'B') + "\r\n" + "C\r\nD\r\nE\r\n";
        ScriptedRil again(script);
        EXPECT_EQ(ShowPage(), rows({"", "", "", ""}));
    }
}

// Mended: an answer with more than five lines, or a line longer than an
// entry holds, wrote beyond ModemInfoLines and the line buffer.
TEST_F(AppletTest, LongAndManyLinesStayInsideTheirEntries) {
    AtModule module;
    DeviceRoot root;
    RilScript script;
    std::string longLine(300, 'L');
    for (int i = 0; i < 40; ++i)
        script.data += (i == 2 ? longLine : "line " + std::to_string(i)) + "\r\n";
    ScriptedRil ril(script);
    EXPECT_EQ(ShowPage(),
              (std::vector<std::string>{Row(10, "line 1"), Row(50, longLine.substr(0, 259)),
                                        Row(90, "line 3"), Row(130, "line 4"), Box(170, false)}));
}

TEST_F(AppletTest, TheRilLibraryCarriesTheRequestToTheModule) {
    AtModule module;
    DeviceRoot root;
    root.Add("KxCmdApi.dll");
    std::vector<std::string> page = ShowPage();
    EXPECT_EQ(page, (std::vector<std::string>{
                        Row(10, "Manufacturer: KX Wireless"), Row(50, "Model: KXA-7"),
                        Row(90, "Revision: 2.41"), Row(130, "IMEI: 356938035643809"),
                        Row(170, "KxCmdApi.dll : 1.0.0.1"), Box(210, false)}));
    std::vector<std::string> commands = module.Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "ATI1"), commands.end());
}

// ---- driver versions -------------------------------------------------------------------------

TEST_F(AppletTest, DriverRowsOnlyForFilesWithAFileVersion) {
    AtModule module;
    module.SetFunctionality(0);
    DeviceRoot root;
    root.Add("radiohw.dll");
    root.AddAs("nofileversion.dll", "KxUsbDrv.dll");
    root.Add("KxCmdApi.dll");
    ScriptedRil ril({});
    kxtest::DebugCapture capture;
    EXPECT_EQ(ShowPage(),
              (std::vector<std::string>{Row(10, "Modem Information : Phone Off"),
                                        Row(50, "radiohw.dll : 6.1.2009.1117"),
                                        Row(90, "KxCmdApi.dll : 1.0.0.1"), Box(130, false)}));
    // The missing files say nothing; the one without FileVersion text for
    // its first language (German) is reported.
    EXPECT_EQ(capture.Messages(),
              std::vector<std::string>{"GetFileVersionString:: Failed to VerQueryValue "
                                       "FileVersion \r\n"});
}

} // namespace

// ---- the control-panel host ------------------------------------------------------------------

TEST(KxsimApplet, PrintsThePageClicksAndWritesThePicture) {
    AtModule module;
    DeviceRoot root;
    root.AddAllDrivers();
    std::string dir = std::filesystem::temp_directory_path() / "kxsim-applet-test";
    std::filesystem::create_directories(dir);
    std::string reg = dir + "/applet.reg", png = dir + "/applet.png";
    std::string command = BinDir() + "/kxsim applet --click --registry " + reg + " --png " + png +
                          " --device-dir " + getenv("KX_DEVICE_DIR") + " 2>&1";
    FILE *out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), out)) > 0)
        text.append(buffer, n);
    EXPECT_EQ(pclose(out), 0) << text;
    for (const std::string &expected :
         {std::string("CPL_INIT -> 1\n"), std::string("name \"RIL\", icon 32x32 32 bpp"),
          "SHEET 0,0 480x640 \"RIL Information\"\n" + Row(10, "Manufacturer: KX Wireless") + "\n",
          Row(290, "KxCmdApi.dll : 1.0.0.1") + "\n" + Row(330, "mbnlink.dll : 1.0.4.2"),
          Box(410, false) + "\n", "click 1: " + Box(410, true) + "; HACMode 1\n",
          std::string("CPL_EXIT -> 0\n")})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\nin:\n" << text;
    FILE *picture = fopen(png.c_str(), "rb");
    ASSERT_NE(picture, nullptr);
    unsigned char signature[8] = {};
    EXPECT_EQ(fread(signature, 1, 8, picture), 8u);
    fclose(picture);
    EXPECT_EQ(signature[1], 'P');
    std::ifstream saved(reg);
    std::string registry((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    EXPECT_NE(registry.find("\"HACMode\"=dword:00000001"), std::string::npos) << registry;
    std::filesystem::remove_all(dir);
}
