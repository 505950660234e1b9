// kxsim applet: the control-panel host of the handheld. Loads ModemAbout.so
// from the build, sends it the control-panel messages in the host's order
// (CPL_INIT, CPL_GETCOUNT, CPL_NEWINQUIRE, CPL_DBLCLK, CPL_EXIT), prints the
// entry and the information page, optionally clicks the HAC checkbox while
// the sheet is open and writes the page as a PNG picture.
#include "device_folder.h"
#include "kxsim.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <commctrl.h>
#include <cpl.h>
#include <windows.h>

#include "../../platform/testing/kx_registry_test.h"
#include "../../platform/testing/kx_sheet_test.h"
#include "../../platform/testing/kx_window_test.h"
#include <regext.h>

// The module runs inside kxsim when the simulated module's library is part
// of the build.
#if __has_include("kxmodem/modem.h")
#include "kxmodem/modem.h"
#define KXSIM_EMBEDDED_MODEM 1
#endif

namespace {

typedef LONG(APIENTRY *CplEntry)(HWND, UINT, LPARAM, LPARAM);

void Usage(FILE *out) {
    fprintf(out, "usage: kxsim applet [options]\n"
                 "\n"
                 "Loads ModemAbout.so as the control panel does and shows its page.\n"
                 "\n"
                 "  --png FILE         write the page as a PNG picture (after the "
                 "clicks)\n"
                 "  --click            click the HAC checkbox once while the page is "
                 "open\n"
                 "                     (repeatable; each click is stored in the "
                 "registry)\n"
                 "  --registry FILE    registry file (REGEDIT4) to load and save "
                 "(KX_REGISTRY)\n"
                 "  --device-dir DIR   folder of a running module's ports (KX_DEVICE_DIR);\n"
                 "                     without it the module runs inside kxsim when built\n"
                 "  --device-root DIR  the handheld's file system root "
                 "(KX_DEVICE_ROOT)\n");
}

std::string Narrow(const WCHAR *text) {
    std::string out;
    for (; text && *text; ++text)
        out += *text < 0x80 ? char(*text) : '?';
    return out;
}

DWORD ReadHacMode(bool &present) {
    DWORD value = 0;
    present = SUCCEEDED(
        RegistryGetDWORD(HKEY_LOCAL_MACHINE, u"Software\\RIL\\Audio", u"HACMode", &value));
    return value;
}

// The checkbox's line of the page dump (the last control).
std::string CheckboxLine(HWND sheet, HWND page) {
    std::string dump = kxtest::DumpSheet(sheet, page);
    size_t at = dump.rfind("BUTTON ");
    if (at == std::string::npos)
        return "(no checkbox)";
    size_t end = dump.find('\n', at);
    return dump.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

int AppletMain(const kxsim::Args &args) {
    std::string png, registry, deviceDir, deviceRoot;
    int clicks = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto value = [&](std::string &into) {
            if (i + 1 >= args.size()) {
                fprintf(stderr, "kxsim applet: %s needs a value\n", a.c_str());
                return false;
            }
            into = args[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a == "--click") {
            ++clicks;
        } else if (a == "--png") {
            if (!value(png))
                return 2;
        } else if (a == "--registry") {
            if (!value(registry))
                return 2;
        } else if (a == "--device-dir") {
            if (!value(deviceDir))
                return 2;
        } else if (a == "--device-root") {
            if (!value(deviceRoot))
                return 2;
        } else {
            fprintf(stderr, "kxsim applet: unknown option %s\n", a.c_str());
            Usage(stderr);
            return 2;
        }
    }
    // The platform reads these when first used, which is after this point.
    if (!registry.empty())
        setenv("KX_REGISTRY", registry.c_str(), 1);
    if (!deviceDir.empty())
        setenv("KX_DEVICE_DIR", deviceDir.c_str(), 1);
    if (!deviceRoot.empty())
        setenv("KX_DEVICE_ROOT", deviceRoot.c_str(), 1);
    // A registry file the platform refused (it said why) is left alone.
    if (kxtest::RegistryFileStatus() != ERROR_SUCCESS)
        return 1;
#ifdef KXSIM_EMBEDDED_MODEM
    // Destroyed in reverse order: the module stops (removing its sockets)
    // before its folder goes.
    struct FolderRemover {
        std::string dir;
        ~FolderRemover() {
            if (!dir.empty())
                kxsim::RemoveDeviceFolder(dir);
        }
    } folder;
    kxmodem::Modem modem;
    if (deviceDir.empty()) {
        char tmpl[] = "/tmp/kxsim-applet-XXXXXX";
        if (!mkdtemp(tmpl)) {
            perror("kxsim applet: mkdtemp");
            return 1;
        }
        folder.dir = tmpl;
        kxmodem::Options options;
        options.controlSocket = false;
        std::string error;
        if (!modem.Start(folder.dir, options, &error)) {
            fprintf(stderr, "kxsim applet: the module did not start: %s\n", error.c_str());
            return 1;
        }
        setenv("KX_DEVICE_DIR", folder.dir.c_str(), 1);
    }
#endif
    const char *dir = getenv("KX_DEVICE_DIR");
    if (!dir || !*dir) {
        fprintf(stderr, "kxsim applet: no module: give --device-dir of a running kxmodem "
                        "(or set KX_DEVICE_DIR)\n");
        return 2;
    }

    std::string path = kxsim::BuildDirectory() + "/ModemAbout.so";
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "kxsim applet: cannot load %s: %s\n", path.c_str(), dlerror());
        return 1;
    }
    auto entry = reinterpret_cast<CplEntry>(dlsym(library, "CPlApplet"));
    if (!entry) {
        fprintf(stderr, "kxsim applet: %s has no CPlApplet\n", path.c_str());
        dlclose(library);
        return 1;
    }

    // The control panel's own window, which a second open brings forward.
    HWND host = CreateWindowExW(0, u"#32770", u"Settings", WS_VISIBLE, 0, 0, 480, 640, nullptr,
                                nullptr, nullptr, nullptr);

    int status = 0;
    LONG init = entry(host, CPL_INIT, 0, 0);
    printf("CPL_INIT -> %ld\n", long(init));
    if (init == 0) {
        fprintf(stderr, "kxsim applet: the applet refused to start (no platform answer or no "
                        "\"Cellular Line\")\n");
        status = 1;
    } else {
        LONG count = entry(host, CPL_GETCOUNT, 0, 0);
        printf("CPL_GETCOUNT -> %ld\n", long(count));
        NEWCPLINFO info;
        memset(&info, 0, sizeof(info));
        entry(host, CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info));
        int w = 0, h = 0, bpp = 0;
        kxtest::IconDetails(info.hIcon, &w, &h, &bpp);
        printf("CPL_NEWINQUIRE -> name \"%s\", icon %dx%d %d bpp, entry data %ld\n",
               Narrow(info.szName).c_str(), w, h, bpp, long(info.lData));

        std::vector<kxtest::SheetAction> script;
        for (int i = 0; i < clicks; ++i)
            script.push_back({kxtest::SheetAction::Click, u"BUTTON"});
        script.push_back({kxtest::SheetAction::Close, {}});
        kxtest::SetSheetScript(script);
        int clicked = 0;
        // The picture is taken as the user closes the page, after the clicks.
        bool pictureWritten = false;
        int pictureError = 0;
        kxtest::SetSheetObserver([&](const std::string &event, HWND sheet, HWND page) {
            if (event == "close" && !png.empty()) {
                errno = 0;
                pictureWritten = kxtest::RenderSheetPng(sheet, page, png);
                pictureError = errno;
            } else if (event == "shown") {
                printf("%s", kxtest::DumpSheet(sheet, page).c_str());
            } else if (event == "click") {
                bool present = false;
                DWORD mode = ReadHacMode(present);
                printf("click %d: %s; HACMode %s\n", ++clicked, CheckboxLine(sheet, page).c_str(),
                       present ? std::to_string(mode).c_str() : "(missing)");
            }
            fflush(stdout);
        });
        printf("CPL_DBLCLK -> %ld\n", long(entry(host, CPL_DBLCLK, 0, 0)));
        kxtest::SetSheetObserver(nullptr);
        kxtest::ClearSheetScript();
        if (!png.empty() && pictureWritten) {
            printf("picture: %s\n", png.c_str());
        } else if (!png.empty()) {
            fprintf(stderr, "kxsim applet: cannot write the picture %s: %s\n", png.c_str(),
                    pictureError ? strerror(pictureError) : "the page could not be drawn");
            status = 1;
        }
    }
    printf("CPL_EXIT -> %ld\n", long(entry(host, CPL_EXIT, 0, 0)));
    fflush(stdout);
    dlclose(library);
    DestroyWindow(host);
    // A change that did not reach the registry file is a failure.
    if (kxtest::RegistryFileStatus() != ERROR_SUCCESS)
        status = 1;
    return status;
}

KXSIM_SUBCOMMAND("applet", "control panel: load ModemAbout, show its page (--png, --click)",
                 AppletMain);

} // namespace
