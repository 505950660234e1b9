// The window tree: controls, texts, check states, clicks, destruction, the
// menu bar and the foreground window.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx_window_test.h"
#include <windows.h>
#include <aygshell.h>

namespace {

struct Seen {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Seen> seen;

INT_PTR CALLBACK RecordingProc(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
    seen.push_back({message, wParam, lParam});
    return TRUE;
}

// An empty dialog from an in-memory template (header, no menu, default
// class, empty title).
HWND MakeDialog(DLGPROC proc) {
    struct {
        DLGTEMPLATE head;
        WORD menu = 0, cls = 0, title = 0;
    } t{};
    t.head.style = WS_POPUP;
    t.head.cx = 100;
    t.head.cy = 100;
    return CreateDialogIndirectParamW(nullptr, &t.head, nullptr, proc, 0);
}

class Windows : public ::testing::Test {
  protected:
    void SetUp() override {
        seen.clear();
        baseline_ = kxtest::LiveWindowCount();
        dialog_ = MakeDialog(RecordingProc);
        ASSERT_NE(dialog_, nullptr);
        seen.clear();
    }
    void TearDown() override {
        DestroyWindow(dialog_);
        kxtest::ClearWindowFaults();
        EXPECT_EQ(kxtest::LiveWindowCount(), baseline_);
    }
    HWND Child(const char16_t *cls, DWORD style, int id, const char16_t *text = nullptr) {
        return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, 20, 10, 400, 40,
                               dialog_, reinterpret_cast<HMENU>(INT_PTR(id)), nullptr, nullptr);
    }
    int baseline_ = 0;
    HWND dialog_ = nullptr;
};

TEST_F(Windows, ControlsKeepClassPositionTextAndId) {
    HWND row = Child(u"static", SS_LEFT, 0);
    ASSERT_NE(row, nullptr);
    WCHAR text[8];
    EXPECT_EQ(GetWindowTextW(row, text, 8), 0);
    EXPECT_TRUE(SetWindowTextW(row, u"Manufacturer: KX"));
    EXPECT_EQ(GetWindowTextLengthW(row), 16);
    EXPECT_EQ(GetWindowTextW(row, text, 8), 7);
    EXPECT_EQ(std::u16string(text), u"Manufac");
    GetClassNameW(row, text, 8);
    EXPECT_EQ(std::u16string(text), u"STATIC");
    RECT dialogRect, r;
    GetWindowRect(dialog_, &dialogRect);
    GetWindowRect(row, &r);
    EXPECT_EQ(r.left - dialogRect.left, 20);
    EXPECT_EQ(r.top - dialogRect.top, 10);
    EXPECT_EQ(r.right - r.left, 400);
    EXPECT_EQ(r.bottom - r.top, 40);
    EXPECT_EQ(DWORD(GetWindowLongW(row, GWL_STYLE)), 0x50000000u);
    EXPECT_EQ(GetParent(row), dialog_);

    HWND second = Child(u"BUTTON", BS_PUSHBUTTON, 7);
    EXPECT_EQ(GetDlgItem(dialog_, 7), second);
    EXPECT_EQ(GetWindow(dialog_, GW_CHILD), row);
    EXPECT_EQ(GetWindow(row, GW_HWNDNEXT), second);
}

TEST_F(Windows, CreationFailsForUnknownClassesOrphansAndInjectedFaults) {
    EXPECT_EQ(Child(u"EDIT", 0, 1), nullptr);
    EXPECT_EQ(CreateWindowExW(0, u"STATIC", nullptr, WS_CHILD, 0, 0, 1, 1, nullptr, nullptr,
                              nullptr, nullptr),
              nullptr);
    kxtest::FailNextCreateWindow(u"STATIC", 1);
    EXPECT_EQ(Child(u"STATIC", 0, 1), nullptr);
    EXPECT_NE(Child(u"STATIC", 0, 1), nullptr);
}

TEST_F(Windows, AutoCheckboxTogglesOnClickAndTellsItsParent) {
    HWND box = Child(u"BUTTON", BS_AUTOCHECKBOX, 0, u"Use HAC Audio Mode");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    SendMessageW(box, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_CHECKED);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, UINT(WM_COMMAND));
    EXPECT_EQ(HIWORD(seen[0].wParam), BN_CLICKED);
    EXPECT_EQ(LOWORD(seen[0].wParam), 0);
    EXPECT_EQ(reinterpret_cast<HWND>(seen[0].lParam), box);
    SendMessageW(box, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    SendMessageW(box, BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(seen.size(), 2u); // BM_SETCHECK does not notify

    // A plain checkbox leaves its state to the program.
    HWND plain = Child(u"BUTTON", BS_CHECKBOX, 3);
    SendMessageW(plain, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(plain, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(seen.size(), 3u);
    // A disabled one ignores the click.
    EnableWindow(box, FALSE);
    SendMessageW(box, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_CHECKED);
}

TEST_F(Windows, DestroyWindowTellsTheDialogAndTakesChildrenAndOwnedWindows) {
    HWND row = Child(u"STATIC", 0, 0);
    SHMENUBARINFO info{};
    info.cbSize = sizeof(info);
    info.hwndParent = dialog_;
    info.dwFlags = SHCMBF_EMPTYBAR;
    ASSERT_TRUE(SHCreateMenuBar(&info));
    ASSERT_NE(info.hwndMB, nullptr);
    WCHAR cls[32];
    GetClassNameW(info.hwndMB, cls, 32);
    EXPECT_EQ(std::u16string(cls), u"menu_worker");
    RECT r;
    GetWindowRect(info.hwndMB, &r);
    EXPECT_EQ(r.bottom, GetSystemMetrics(SM_CYSCREEN));

    EXPECT_TRUE(DestroyWindow(dialog_));
    EXPECT_FALSE(IsWindow(row));
    EXPECT_FALSE(IsWindow(info.hwndMB));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().message, UINT(WM_DESTROY));
    EXPECT_FALSE(DestroyWindow(dialog_));
    EXPECT_EQ(SendMessageW(dialog_, WM_CLOSE, 0, 0), 0);
    dialog_ = MakeDialog(RecordingProc); // for TearDown
}

TEST_F(Windows, MenuBarNeedsItsRecordAndAParent) {
    SHMENUBARINFO info{};
    info.cbSize = sizeof(info) - 4;
    info.hwndParent = dialog_;
    info.dwFlags = SHCMBF_EMPTYBAR;
    EXPECT_FALSE(SHCreateMenuBar(&info));
    info.cbSize = sizeof(info);
    info.hwndParent = nullptr;
    EXPECT_FALSE(SHCreateMenuBar(&info));
    // A bar with buttons needs its tool-bar resource.
    info.hwndParent = dialog_;
    info.dwFlags = 0;
    info.nToolBarId = 100;
    EXPECT_FALSE(SHCreateMenuBar(&info));
}

TEST_F(Windows, EndDialogAndForegroundWithTheLowBit) {
    INT_PTR result = 0;
    EXPECT_FALSE(EndDialog(nullptr, 1));
    EXPECT_TRUE(EndDialog(dialog_, 1));
    kxtest::ClearForegroundRequests();
    HWND asked = reinterpret_cast<HWND>(reinterpret_cast<ULONG_PTR>(dialog_) | 1);
    EXPECT_TRUE(SetForegroundWindow(asked));
    EXPECT_EQ(GetForegroundWindow(), dialog_);
    EXPECT_EQ(kxtest::ForegroundRequests(), std::vector<HWND>{asked});
    (void)result;
}

} // namespace
