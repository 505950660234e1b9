// The window tree: controls, texts, check states, clicks, destruction, the
// menu bar and the foreground window.
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx_test_text.h"
#include <windows.h>
#include <cpl.h>
#if KX_TEST_HOOKS
#include "kx_window_test.h"
#include <aygshell.h>
#endif

namespace {

struct Seen {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Seen> seen;

// The WM_COMMAND notifications among what the dialog heard (which other
// messages a dialog gets is not promised).
std::vector<Seen> Commands() {
    std::vector<Seen> commands;
    for (const Seen &s : seen)
        if (s.message == WM_COMMAND)
            commands.push_back(s);
    return commands;
}

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
#if KX_TEST_HOOKS
        baseline_ = kxtest::LiveWindowCount();
#endif
        dialog_ = MakeDialog(RecordingProc);
        ASSERT_NE(dialog_, nullptr);
        seen.clear();
    }
    void TearDown() override {
        DestroyWindow(dialog_);
#if KX_TEST_HOOKS
        kxtest::ClearWindowFaults();
        EXPECT_EQ(kxtest::LiveWindowCount(), baseline_);
#endif
    }
    HWND Child(const WCHAR *cls, DWORD style, int id, const WCHAR *text = nullptr) {
        return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, 20, 10, 400, 40,
                               dialog_, reinterpret_cast<HMENU>(INT_PTR(id)), nullptr, nullptr);
    }
    int baseline_ = 0;
    HWND dialog_ = nullptr;
};

TEST_F(Windows, ControlsKeepClassPositionTextAndId) {
    HWND row = Child(TEXT("static"), SS_LEFT, 0);
    ASSERT_NE(row, nullptr);
    WCHAR text[8];
    EXPECT_EQ(GetWindowTextW(row, text, 8), 0);
    EXPECT_TRUE(SetWindowTextW(row, TEXT("Manufacturer: KX")));
    EXPECT_EQ(GetWindowTextLengthW(row), 16);
    EXPECT_EQ(GetWindowTextW(row, text, 8), 7);
    EXPECT_EQ(kxtest::WString(text), TEXT("Manufac"));
    GetClassNameW(row, text, 8);
    EXPECT_EQ(lstrcmpiW(text, TEXT("STATIC")), 0) << "class names do not depend on case";
    RECT dialogRect, r;
    GetWindowRect(dialog_, &dialogRect);
    GetWindowRect(row, &r);
    EXPECT_EQ(r.left - dialogRect.left, 20);
    EXPECT_EQ(r.top - dialogRect.top, 10);
    EXPECT_EQ(r.right - r.left, 400);
    EXPECT_EQ(r.bottom - r.top, 40);
    EXPECT_EQ(DWORD(GetWindowLongW(row, GWL_STYLE)), 0x50000000u);
    EXPECT_EQ(GetParent(row), dialog_);

    HWND second = Child(TEXT("BUTTON"), BS_PUSHBUTTON, 7);
    EXPECT_EQ(GetDlgItem(dialog_, 7), second);
    EXPECT_EQ(GetWindow(dialog_, GW_CHILD), row);
    EXPECT_EQ(GetWindow(row, GW_HWNDNEXT), second);
}

TEST_F(Windows, CreationFailsForUnknownClassesOrphansAndInjectedFaults) {
    EXPECT_EQ(Child(TEXT("KxNoSuchClass"), 0, 1), nullptr);
    HWND edit = Child(TEXT("EDIT"), 0, 2, TEXT("kxtel.internet"));
    ASSERT_NE(edit, nullptr);
    WCHAR text[32];
    EXPECT_EQ(GetWindowTextW(edit, text, 32), 14);
    EXPECT_EQ(CreateWindowExW(0, TEXT("STATIC"), nullptr, WS_CHILD, 0, 0, 1, 1, nullptr, nullptr,
                              nullptr, nullptr),
              nullptr);
#if KX_TEST_HOOKS
    kxtest::FailNextCreateWindow(TEXT("STATIC"), 1);
    EXPECT_EQ(Child(TEXT("STATIC"), 0, 1), nullptr);
#endif
    EXPECT_NE(Child(TEXT("STATIC"), 0, 1), nullptr);
}

TEST_F(Windows, AutoCheckboxTogglesOnClickAndTellsItsParent) {
    HWND box = Child(TEXT("BUTTON"), BS_AUTOCHECKBOX, 0, TEXT("Use HAC Audio Mode"));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    SendMessageW(box, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_CHECKED);
    ASSERT_EQ(Commands().size(), 1u);
    EXPECT_EQ(HIWORD(Commands()[0].wParam), BN_CLICKED);
    EXPECT_EQ(LOWORD(Commands()[0].wParam), 0);
    EXPECT_EQ(reinterpret_cast<HWND>(Commands()[0].lParam), box);
    SendMessageW(box, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    SendMessageW(box, BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(Commands().size(), 2u); // BM_SETCHECK does not notify

    // A plain checkbox leaves its state to the program.
    HWND plain = Child(TEXT("BUTTON"), BS_CHECKBOX, 3);
    SendMessageW(plain, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(plain, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(Commands().size(), 3u);
#if KX_TEST_HOOKS
    // A disabled one ignores the click here; BM_CLICK's documentation does
    // not say, and Windows clicks it all the same.
    EnableWindow(box, FALSE);
    SendMessageW(box, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_CHECKED);
#endif
}

#if KX_TEST_HOOKS // the menu bar is the CE shell's (aygshell)
TEST_F(Windows, DestroyWindowTellsTheDialogAndTakesChildrenAndOwnedWindows) {
    HWND row = Child(TEXT("STATIC"), 0, 0);
    SHMENUBARINFO info{};
    info.cbSize = sizeof(info);
    info.hwndParent = dialog_;
    info.dwFlags = SHCMBF_EMPTYBAR;
    ASSERT_TRUE(SHCreateMenuBar(&info));
    ASSERT_NE(info.hwndMB, nullptr);
    WCHAR cls[32];
    GetClassNameW(info.hwndMB, cls, 32);
    EXPECT_EQ(kxtest::WString(cls), TEXT("menu_worker"));
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
#endif

TEST_F(Windows, EndDialogAndForegroundWithTheLowBit) {
    INT_PTR result = 0;
    EXPECT_FALSE(EndDialog(nullptr, 1));
    EXPECT_TRUE(EndDialog(dialog_, 1));
#if KX_CE_BEHAVIOUR("SetForegroundWindow (Windows CE 5.0)")
    // On CE the low bit of the handle asks also to reactivate the window's
    // last active owned window; the desktop knows no such bit.
    kxtest::ClearForegroundRequests();
    HWND asked = reinterpret_cast<HWND>(reinterpret_cast<ULONG_PTR>(dialog_) | 1);
    EXPECT_TRUE(SetForegroundWindow(asked));
    EXPECT_EQ(kxtest::ForegroundRequests(), std::vector<HWND>{asked});
#else
    EXPECT_TRUE(SetForegroundWindow(dialog_));
#endif
    EXPECT_EQ(GetForegroundWindow(), dialog_);
    (void)result;
}

// The control-panel records are byte-packed on Windows: an applet fills in
// exactly the layout its host reads.
TEST(ControlPanel, RecordsArePackedAsOnWindows) {
    EXPECT_EQ(sizeof(NEWCPLINFOW), 3 * sizeof(DWORD) + sizeof(LONG_PTR) + sizeof(HICON) +
                                       (32 + 64 + 128) * sizeof(WCHAR));
    EXPECT_EQ(sizeof(CPLINFO), 3 * sizeof(int) + sizeof(LONG_PTR));
    EXPECT_EQ(offsetof(NEWCPLINFOW, lData), 12u);
}

} // namespace
