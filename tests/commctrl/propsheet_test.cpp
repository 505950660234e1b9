// PropertySheetW: callbacks, the page's messages, the script of user
// actions, and the sheet as text and as a picture.
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx_sheet_test.h"
#include "kx_window_test.h"
#include <commctrl.h>

namespace {

std::vector<std::string> events;
HWND pageSeen = nullptr;

int CALLBACK SheetCallback(HWND, UINT message, LPARAM lParam) {
    if (message == PSCB_PRECREATE) {
        // The template need not be aligned: read and write it byte by byte.
        auto *b = reinterpret_cast<BYTE *>(lParam);
        events.push_back(reinterpret_cast<ULONG_PTR>(b) % 4 ? "precreate unaligned" : "precreate");
        b[3] &= 0x7F; // WS_POPUP off
    } else if (message == PSCB_GETVERSION) {
        events.push_back("version");
        return 0x20E;
    } else if (message == PSCB_GETTITLE) {
        events.push_back("title");
        std::u16string title = u"RIL Information";
        memcpy(reinterpret_cast<WCHAR *>(lParam), title.c_str(), (title.size() + 1) * 2);
    }
    return 0;
}

INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        pageSeen = page;
        events.push_back("init");
        CreateWindowExW(0, u"STATIC", u"Row one", WS_CHILD | WS_VISIBLE, 20, 10, 400, 40, page,
                        nullptr, nullptr, nullptr);
        CreateWindowExW(0, u"BUTTON", u"Use HAC Audio Mode",
                        WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX, 20, 50, 400, 40, page, nullptr,
                        nullptr, nullptr);
        return TRUE;
    case WM_COMMAND:
        events.push_back("command " + std::to_string(SendMessageW(reinterpret_cast<HWND>(lParam),
                                                                  BM_GETCHECK, 0, 0)));
        return TRUE;
    case WM_NOTIFY:
        events.push_back("notify " + std::to_string(int(reinterpret_cast<NMHDR *>(lParam)->code)));
        return TRUE;
    case WM_CLOSE:
        events.push_back("close");
        EndDialog(page, 1);
        return TRUE;
    case WM_DESTROY:
        events.push_back("destroy");
        return TRUE;
    }
    return FALSE;
}

struct PageTemplate {
    DLGTEMPLATE head{};
    WORD menu = 0, cls = 0, title = 0;
};

INT_PTR RunSheet() {
    static PageTemplate t;
    t.head.style = WS_CHILD | WS_CAPTION;
    t.head.cx = 169;
    t.head.cy = 177;
    PROPSHEETPAGEW page{};
    page.dwSize = sizeof(page);
    page.dwFlags = PSP_DLGINDIRECT;
    page.pResource = &t.head;
    page.pfnDlgProc = PageProc;
    PROPSHEETHEADERW sheet{};
    sheet.dwSize = sizeof(sheet);
    sheet.dwFlags = PSH_PROPSHEETPAGE | PSH_USECALLBACK | PSH_MAXIMIZE;
    sheet.pszCaption = u"ModemAbout";
    sheet.nPages = 1;
    sheet.ppsp = &page;
    sheet.pfnCallback = SheetCallback;
    return PropertySheetW(&sheet);
}

class Sheet : public ::testing::Test {
  protected:
    void SetUp() override {
        events.clear();
        windows_ = kxtest::LiveWindowCount();
    }
    void TearDown() override {
        kxtest::ClearSheetScript();
        kxtest::SetSheetObserver(nullptr);
        kxtest::SetSheetPng("");
        EXPECT_EQ(kxtest::LiveWindowCount(), windows_);
    }
    int windows_ = 0;
};

const std::string kSetActive = "notify " + std::to_string(int(PSN_SETACTIVE));
const std::string kQueryCancel = "notify " + std::to_string(int(PSN_QUERYCANCEL));
const std::string kReset = "notify " + std::to_string(int(PSN_RESET));
const std::string kApply = "notify " + std::to_string(int(PSN_APPLY));
const std::string kKillActive = "notify " + std::to_string(int(PSN_KILLACTIVE));

TEST_F(Sheet, CallbacksThenThePageThenClicksAndClose) {
    kxtest::SetSheetScript(kxtest::ParseSheetScript("click:BUTTON,click:Use HAC Audio Mode"));
    EXPECT_EQ(RunSheet(), 0);
    EXPECT_EQ(events, (std::vector<std::string>{"precreate unaligned", "version", "title", "init",
                                                kSetActive, "command 1", "command 0", kQueryCancel,
                                                kReset, "close", "destroy"}));
    kxtest::SheetRecord r = kxtest::LastSheet();
    EXPECT_EQ(r.callbackVersion, 0x20E);
    EXPECT_EQ(r.templateStyle & DWORD(WS_POPUP), 0u);
    EXPECT_EQ(r.title, u"RIL Information");
    ASSERT_EQ(r.dumps.size(), 3u);
    EXPECT_EQ(r.dumps[0], "SHEET 0,0 480x640 \"RIL Information\"\n"
                          "STATIC 20,10 400x40 \"Row one\"\n"
                          "BUTTON 20,50 400x40 \"Use HAC Audio Mode\"\n");
    EXPECT_NE(r.dumps[1].find("\"Use HAC Audio Mode\" checked\n"), std::string::npos);
    EXPECT_EQ(r.dumps[2].find("checked"), std::string::npos);
}

TEST_F(Sheet, OkAppliesAndWithoutAScriptTheSheetClosesAtOnce) {
    kxtest::SetSheetScript(kxtest::ParseSheetScript("ok"));
    EXPECT_EQ(RunSheet(), 1);
    EXPECT_EQ(events, (std::vector<std::string>{"precreate unaligned", "version", "title", "init",
                                                kSetActive, kKillActive, kApply, "destroy"}));
    kxtest::ClearSheetScript();
    events.clear();
    EXPECT_EQ(RunSheet(), 0);
    EXPECT_EQ(events.back(), "destroy");
    EXPECT_EQ(events[events.size() - 2], "close");
}

TEST_F(Sheet, BadRecordsFail) {
    PROPSHEETHEADERW sheet{};
    sheet.dwSize = sizeof(sheet);
    sheet.dwFlags = PSH_PROPSHEETPAGE;
    EXPECT_EQ(PropertySheetW(&sheet), -1); // no pages
    PROPSHEETPAGEW page{};
    page.dwSize = sizeof(page);
    page.pszTemplate = MAKEINTRESOURCEW(3); // no such template in a null module
    sheet.nPages = 1;
    sheet.ppsp = &page;
    EXPECT_EQ(PropertySheetW(&sheet), -1);
    EXPECT_TRUE(events.empty());
}

// Reads a PNG into RGB rows.
bool ReadPng(const std::string &path, int &w, int &h, std::vector<uint8_t> &rgb) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return false;
    image.format = PNG_FORMAT_RGB;
    rgb.resize(PNG_IMAGE_SIZE(image));
    w = int(image.width);
    h = int(image.height);
    return png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) != 0;
}

TEST_F(Sheet, PictureShowsTitleRowsAndTheCheckedBox) {
    std::string path = std::filesystem::temp_directory_path() / "kx_sheet_test.png";
    kxtest::SetSheetPng(path);
    kxtest::SetSheetScript(kxtest::ParseSheetScript("click:BUTTON"));
    RunSheet();
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(ReadPng(path, w, h, rgb));
    EXPECT_EQ(w, 480);
    EXPECT_EQ(h, 640);
    auto dark = [&](int x0, int y0, int x1, int y1) {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                n += rgb[(size_t(y) * w + x) * 3] < 128;
        return n;
    };
    auto white = [&](int x0, int y0, int x1, int y1) {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                n += rgb[(size_t(y) * w + x) * 3 + 2] > 200 && rgb[(size_t(y) * w + x) * 3] > 200;
        return n;
    };
    // The title band is dark with light text; the page starts 30 pixels down.
    EXPECT_GT(dark(0, 0, 480, 30), 480 * 20);
    EXPECT_GT(white(0, 0, 200, 30), 50);
    // Row one's text lies inside its rectangle (page y 10..50).
    EXPECT_GT(dark(20, 40, 420, 80), 50);
    EXPECT_EQ(dark(20, 130, 420, 600), 0); // nothing below the checkbox
    // The checkbox (page y 50..90): its box has a mark inside when checked.
    EXPECT_GT(dark(27, 87, 35, 95), 4);
    if (!getenv("KX_KEEP_PNG"))
        std::filesystem::remove(path);
}

} // namespace
