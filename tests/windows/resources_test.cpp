// Resources of a loaded module (strings, icons, dialog templates), system
// cursors and the version functions over files of the device image.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx_test_text.h"
#include <windows.h>
#if KX_TEST_HOOKS
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include "kx_window_test.h"
#endif

namespace fs = std::filesystem;

namespace {

#if KX_TEST_HOOKS
std::string BinDir() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    path[n > 0 ? n : 0] = 0;
    return fs::path(path).parent_path().string();
}
#else
// On Windows the probe is the PE resource DLL beside the test program.
const WCHAR kProbeDll[] = TEXT("res_probe_pe.dll");
#endif

class ProbeModule : public ::testing::Test {
  protected:
    void SetUp() override {
#if !KX_TEST_HOOKS
        instance_ = LoadLibraryW(kProbeDll);
        ASSERT_NE(instance_, nullptr);
#else
        handle_ = dlopen((BinDir() + "/KxResProbe.so").c_str(), RTLD_NOW);
        ASSERT_NE(handle_, nullptr) << dlerror();
        Dl_info info{};
        ASSERT_TRUE(dladdr(dlsym(handle_, "KxResProbeMarker"), &info));
        instance_ = static_cast<HINSTANCE>(info.dli_fbase);
#endif
    }
    void TearDown() override {
#if KX_TEST_HOOKS
        if (handle_)
            dlclose(handle_);
#else
        FreeLibrary(instance_);
#endif
    }
    void *handle_ = nullptr;
    HINSTANCE instance_ = nullptr;
};

TEST_F(ProbeModule, LoadStringReadsEveryBlockAndCutsToTheBuffer) {
    WCHAR buffer[32];
    EXPECT_EQ(LoadStringW(instance_, 1, buffer, 32), 3);
    EXPECT_EQ(kxtest::WString(buffer), TEXT("RIL"));
    EXPECT_EQ(LoadStringW(instance_, 2, buffer, 32), 6);
    EXPECT_EQ(kxtest::WString(buffer), TEXT("second"));
    EXPECT_EQ(LoadStringW(instance_, 17, buffer, 32), 10);
    EXPECT_EQ(kxtest::WString(buffer), TEXT("next block"));
    // Cut to max - 1 characters and terminated.
    EXPECT_EQ(LoadStringW(instance_, 40, buffer, 6), 5);
    EXPECT_EQ(kxtest::WString(buffer), TEXT("Lange"));
    // Missing ids (in a present block and in an absent one).
    EXPECT_EQ(LoadStringW(instance_, 3, buffer, 32), 0);
    EXPECT_EQ(LoadStringW(instance_, 300, buffer, 32), 0);
    // A max of 0 hands out a read-only pointer to the text.
    const WCHAR *text = nullptr;
    EXPECT_EQ(LoadStringW(instance_, 17, reinterpret_cast<LPWSTR>(&text), 0), 10);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(kxtest::WString(text, 10), TEXT("next block"));
}

TEST_F(ProbeModule, LoadIconPicksTheSystemSizeAndSharesTheHandle) {
    HICON icon = LoadIconW(instance_, MAKEINTRESOURCEW(2));
    ASSERT_NE(icon, nullptr);
#if KX_TEST_HOOKS
    int w = 0, h = 0, bpp = 0;
    ASSERT_TRUE(kxtest::IconDetails(icon, &w, &h, &bpp));
    EXPECT_EQ(w, 32);
    EXPECT_EQ(h, 32);
    EXPECT_EQ(bpp, 32);
#endif
    EXPECT_EQ(LoadIconW(instance_, MAKEINTRESOURCEW(2)), icon);
    EXPECT_EQ(LoadIconW(instance_, MAKEINTRESOURCEW(5)), nullptr);
    // A null instance names a system icon only with an IDI_ value.
    EXPECT_NE(LoadIconW(nullptr, IDI_APPLICATION), nullptr);
    EXPECT_EQ(LoadIconW(nullptr, MAKEINTRESOURCEW(5)), nullptr);
}

TEST_F(ProbeModule, IconGroupHoldsFourImagesOf32Bits) {
    HRSRC group = FindResourceW(instance_, MAKEINTRESOURCEW(2), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    auto *d = static_cast<const uint8_t *>(LockResource(LoadResource(instance_, group)));
    ASSERT_EQ(SizeofResource(instance_, group), 6u + 4 * 14);
    ASSERT_EQ(d[4], 4);
    const int sizes[] = {256, 48, 32, 16};
    for (int i = 0; i < 4; ++i) {
        const uint8_t *e = d + 6 + i * 14;
        EXPECT_EQ(e[0] ? e[0] : 256, sizes[i]);
        EXPECT_EQ(e[6] | (e[7] << 8), 32);
    }
}

TEST(Cursors, SystemCursorsAndSetCursorReturnsThePrevious) {
    HCURSOR wait = LoadCursorW(nullptr, IDC_WAIT);
    ASSERT_NE(wait, nullptr);
#if KX_TEST_HOOKS
    EXPECT_EQ(kxtest::CursorId(wait), 0x7F02);
#endif
    EXPECT_EQ(LoadCursorW(nullptr, MAKEINTRESOURCEW(1)), nullptr);
    HCURSOR before = SetCursor(wait);
    EXPECT_EQ(GetCursor(), wait);
    EXPECT_EQ(SetCursor(nullptr), wait);
    EXPECT_EQ(GetCursor(), nullptr);
    SetCursor(before);
}

TEST_F(ProbeModule, DialogTemplateBuildsItsControlsInPixels) {
    HRSRC found = FindResourceW(instance_, MAKEINTRESOURCEW(7), RT_DIALOG);
    ASSERT_NE(found, nullptr);
    auto *t = static_cast<LPCDLGTEMPLATEW>(LockResource(LoadResource(instance_, found)));
    std::vector<UINT> messages;
    static std::vector<UINT> *seen;
    seen = &messages;
    HWND dialog = CreateDialogIndirectParamW(
        instance_, t, nullptr,
        [](HWND, UINT m, WPARAM, LPARAM) -> INT_PTR {
            seen->push_back(m);
            return m == WM_INITDIALOG;
        },
        0);
    ASSERT_NE(dialog, nullptr);
    // The dialog procedure hears WM_INITDIALOG once, after the controls
    // exist; which other messages come first (WM_SETFONT, ...) is not promised.
    EXPECT_EQ(std::count(messages.begin(), messages.end(), UINT(WM_INITDIALOG)), 1);
    WCHAR text[32];
    GetWindowTextW(dialog, text, 32);
    EXPECT_EQ(kxtest::WString(text), TEXT("Probe"));
    HWND hello = GetDlgItem(dialog, 101);
    HWND check = GetDlgItem(dialog, 102);
    ASSERT_NE(hello, nullptr);
    ASSERT_NE(check, nullptr);
    RECT r;
    GetClientRect(check, &r);
#if KX_CE_BEHAVIOUR("GetDialogBaseUnits (Windows CE 5.0)")
    // CE measures every dialog in the system font's units (6 by 13 pixels
    // here), whatever font the template names (its dialogs do not support
    // DS_SETFONT), truncating each product.
    EXPECT_EQ(r.right, 60 * 6 / 4);
    EXPECT_EQ(r.bottom, 12 * 13 / 8);
#else
    RECT units{0, 0, 60, 12};
    ASSERT_TRUE(MapDialogRect(dialog, &units));
    EXPECT_EQ(r.right, units.right);
    EXPECT_EQ(r.bottom, units.bottom);
#endif
    GetClassNameW(check, text, 32);
    EXPECT_EQ(lstrcmpiW(text, TEXT("BUTTON")), 0) << "class names do not depend on case";
    EXPECT_EQ(DWORD(GetWindowLongW(check, GWL_STYLE)) & BS_TYPEMASK, DWORD(BS_AUTOCHECKBOX));
    DestroyWindow(dialog);
    EXPECT_FALSE(IsWindow(hello));
}

// A device root with the probe under \windows, in a temporary folder (on
// Windows: the system folder of drive C:, made the current drive).
class DeviceRoot : public ::testing::Test {
  protected:
#if !KX_TEST_HOOKS
    void SetUp() override {
        GetCurrentDirectoryW(MAX_PATH, saved_);
        WCHAR program[MAX_PATH];
        GetModuleFileNameW(nullptr, program, MAX_PATH);
        ASSERT_TRUE(CopyFileW(kProbeDll, TEXT("C:\\windows\\probe_pe.dll"), FALSE));
        ASSERT_TRUE(CopyFileW(program, TEXT("C:\\windows\\plain.dll"), FALSE));
        ASSERT_TRUE(SetCurrentDirectoryW(TEXT("C:\\")));
    }
    void TearDown() override {
        SetCurrentDirectoryW(saved_);
        DeleteFileW(TEXT("C:\\windows\\probe_pe.dll"));
        DeleteFileW(TEXT("C:\\windows\\plain.dll"));
    }
    WCHAR saved_[MAX_PATH];
#else
    void SetUp() override {
        char tmpl[] = "/tmp/kxres-XXXXXX";
        root_ = mkdtemp(tmpl);
        fs::create_directories(root_ + "/Windows");
        fs::copy_file(BinDir() + "/KxResProbe.so", root_ + "/Windows/KxResProbe.dll");
        fs::copy_file(KX_RES_PROBE_RES, root_ + "/Windows/probe.res");
        fs::copy_file(BinDir() + "/libcoredll.so", root_ + "/Windows/plain.dll");
#ifdef KX_RES_PROBE_PE
        fs::copy_file(KX_RES_PROBE_PE, root_ + "/Windows/probe_pe.dll");
#endif
        const char *old = getenv("KX_DEVICE_ROOT");
        saved_ = old ? old : "";
        setenv("KX_DEVICE_ROOT", root_.c_str(), 1);
    }
    void TearDown() override {
        setenv("KX_DEVICE_ROOT", saved_.c_str(), 1);
        fs::remove_all(root_);
    }
    std::string root_, saved_;
#endif
};

TEST_F(DeviceRoot, VersionFunctionsReadEmbeddedAndCompiledResources) {
    std::vector<const WCHAR *> names;
#if KX_TEST_HOOKS // an ELF library's resources and a compiled resource file
    names = {TEXT("\\WINDOWS\\kxresprobe.DLL"), TEXT("\\windows\\probe.res")};
#endif
#if defined(KX_RES_PROBE_PE) || !KX_TEST_HOOKS
    names.push_back(TEXT("\\windows\\probe_pe.dll")); // a PE image's resource directory
#endif
    for (const WCHAR *name : names) {
        DWORD handle = 99;
        DWORD size = GetFileVersionInfoSizeW(name, &handle);
        EXPECT_EQ(handle, 0u);
        ASSERT_GT(size, 0u);
        std::vector<uint8_t> block(size);
        ASSERT_EQ(GetFileVersionInfoW(name, 0, size, block.data()), TRUE);

        VS_FIXEDFILEINFO *fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(
            VerQueryValueW(block.data(), TEXT("\\"), reinterpret_cast<LPVOID *>(&fixed), &length));
        EXPECT_EQ(length, sizeof(VS_FIXEDFILEINFO));
        EXPECT_EQ(fixed->dwSignature, DWORD(VS_FFI_SIGNATURE));
        EXPECT_EQ(fixed->dwFileVersionMS, 0x00040003u);

        WORD *translation = nullptr;
        ASSERT_TRUE(VerQueryValueW(block.data(), TEXT("\\VarFileInfo\\Translation"),
                                   reinterpret_cast<LPVOID *>(&translation), &length));
        ASSERT_EQ(length, 8u);
        EXPECT_EQ(translation[0], 0x409);
        EXPECT_EQ(translation[1], 1200);
        EXPECT_EQ(translation[2], 0x407);

        WCHAR *value = nullptr;
        ASSERT_TRUE(VerQueryValueW(block.data(), TEXT("\\StringFileInfo\\040904B0\\fileversion"),
                                   reinterpret_cast<LPVOID *>(&value), &length));
        EXPECT_EQ(kxtest::WString(value), TEXT("4.3.2.1 probe"));
        EXPECT_EQ(length, 14u); // characters, the terminator included
        ASSERT_TRUE(VerQueryValueW(block.data(), TEXT("\\StringFileInfo\\040704b0\\FileVersion"),
                                   reinterpret_cast<LPVOID *>(&value), &length));
        EXPECT_EQ(kxtest::WString(value), TEXT("4.3.2.1 Sonde"));
        EXPECT_FALSE(VerQueryValueW(block.data(), TEXT("\\StringFileInfo\\040704b0\\CompanyName"),
                                    reinterpret_cast<LPVOID *>(&value), &length));
        EXPECT_FALSE(VerQueryValueW(block.data(), TEXT("\\StringFileInfo\\041104b0\\FileVersion"),
                                    reinterpret_cast<LPVOID *>(&value), &length));
#if KX_TEST_HOOKS
        // A block that is not a value: refused here; the documentation names
        // only the root, the translation table and string values (Windows
        // answers with the block).
        EXPECT_FALSE(VerQueryValueW(block.data(), TEXT("\\StringFileInfo"),
                                    reinterpret_cast<LPVOID *>(&value), &length));
#endif
    }
}

TEST_F(DeviceRoot, FilesWithoutAVersionResourceHaveSizeZero) {
    DWORD handle = 0;
    EXPECT_EQ(GetFileVersionInfoSizeW(TEXT("\\windows\\missing.dll"), &handle), 0u);
    EXPECT_EQ(GetFileVersionInfoSizeW(TEXT("\\windows\\plain.dll"), &handle), 0u);
    EXPECT_EQ(GetFileVersionInfoSizeW(TEXT("\\nowhere\\KxResProbe.dll"), &handle), 0u);
    uint8_t buffer[64];
    EXPECT_FALSE(GetFileVersionInfoW(TEXT("\\windows\\missing.dll"), 0, sizeof(buffer), buffer));
}

TEST_F(DeviceRoot, TruncatedVersionBlockIsNotReadPastItsEnd) {
#if KX_TEST_HOOKS
    const WCHAR *probe = TEXT("\\windows\\probe.res");
#else
    const WCHAR *probe = TEXT("\\windows\\probe_pe.dll");
#endif
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(probe, &handle);
    ASSERT_GT(size, 0u);
    // Only the first 100 bytes were copied; the block's length says more,
    // so the walk must stay within what the length field allows of the
    // buffer it was given (the rest is zero-filled by the copy).
    std::vector<uint8_t> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(probe, 0, 100, block.data()));
    WCHAR *value = nullptr;
    UINT length = 0;
    EXPECT_FALSE(VerQueryValueW(block.data(), TEXT("\\StringFileInfo\\040904b0\\FileVersion"),
                                reinterpret_cast<LPVOID *>(&value), &length));
}

} // namespace
