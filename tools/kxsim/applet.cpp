// kxsim applet: the control-panel host of the handheld. Loads ModemAbout.so
// from the build, sends it the control-panel messages in the host's order
// (CPL_INIT, CPL_GETCOUNT, CPL_NEWINQUIRE, CPL_DBLCLK, CPL_EXIT), prints the
// entry and the information page, optionally clicks the HAC checkbox while
// the sheet is open and writes the page as a PNG picture.
#include "device_folder.h"
#include "kxhost/command_line.h"
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

const kxhost::Program kCommandLine = {
    "kxsim applet",
    "[options]",
    "Loads ModemAbout.so as the control panel does and shows its page.",
    {
        {"png", "FILE", "write the page as a PNG picture (after the clicks)"},
        {"click", nullptr,
         "click the HAC checkbox once while the page is open\n"
         "(repeatable; each click is stored in the registry)"},
        {"registry", "FILE", "registry file (REGEDIT4) to load and save (KX_REGISTRY)"},
        {"device-dir", "DIR",
         "folder of a running module's ports (KX_DEVICE_DIR);\n"
         "without it the module runs inside kxsim when built"},
        {"device-root", "DIR", "the handheld's file system root (KX_DEVICE_ROOT)"},
    }};

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

struct AppletOptions {
    std::string png, registry, deviceDir, deviceRoot;
    int clicks = 0;
};

// -1 when the run goes on, else the exit status.
int ReadOptions(const kxsim::Args &args, AppletOptions *o) {
    std::vector<kxhost::Given> given;
    int parsed = kxhost::ParseCommandLine(kCommandLine, args, &given);
    if (parsed >= 0)
        return parsed;
    for (const kxhost::Given &g : given) {
        if (g.name == "click")
            ++o->clicks;
        else if (g.name == "png")
            o->png = g.value;
        else if (g.name == "registry")
            o->registry = g.value;
        else if (g.name == "device-dir")
            o->deviceDir = g.value;
        else if (g.name == "device-root")
            o->deviceRoot = g.value;
    }
    return -1;
}

// What the control panel does with a started applet: asks for its entry,
// opens its page (CPL_DBLCLK) with a script of the clicks and a close, prints
// the page when shown and each click's effect, and pictures it as the user
// closes it. The exit status.
int OpenPage(CplEntry entry, HWND host, const AppletOptions &o) {
    const std::string &png = o.png;
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
    for (int i = 0; i < o.clicks; ++i)
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
        return 1;
    }
    return 0;
}

// The platform reads these when first used, which is after this point.
void ExportPaths(const AppletOptions &o) {
    if (!o.registry.empty())
        setenv("KX_REGISTRY", o.registry.c_str(), 1);
    if (!o.deviceDir.empty())
        setenv("KX_DEVICE_DIR", o.deviceDir.c_str(), 1);
    if (!o.deviceRoot.empty())
        setenv("KX_DEVICE_ROOT", o.deviceRoot.c_str(), 1);
}

#ifdef KXSIM_EMBEDDED_MODEM
struct FolderRemover {
    std::string dir;
    ~FolderRemover() {
        if (!dir.empty())
            kxsim::RemoveDeviceFolder(dir);
    }
};

// The module inside kxsim, in a new folder that `folder` removes; false
// when that failed (and was reported).
bool StartEmbeddedModem(kxmodem::Modem &modem, FolderRemover *folder) {
    char tmpl[] = "/tmp/kxsim-applet-XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("kxsim applet: mkdtemp");
        return false;
    }
    folder->dir = tmpl;
    kxmodem::Options options;
    options.controlSocket = false;
    std::string error;
    if (!modem.Start(folder->dir, options, &error)) {
        fprintf(stderr, "kxsim applet: the module did not start: %s\n", error.c_str());
        return false;
    }
    setenv("KX_DEVICE_DIR", folder->dir.c_str(), 1);
    return true;
}
#endif

// CPL_INIT, the page if the applet started, CPL_EXIT. The exit status.
int RunApplet(CplEntry entry, HWND host, const AppletOptions &o) {
    int status = 0;
    LONG init = entry(host, CPL_INIT, 0, 0);
    printf("CPL_INIT -> %ld\n", long(init));
    if (init == 0) {
        fprintf(stderr, "kxsim applet: the applet refused to start (no platform answer or no "
                        "\"Cellular Line\")\n");
        status = 1;
    } else {
        status = OpenPage(entry, host, o);
    }
    printf("CPL_EXIT -> %ld\n", long(entry(host, CPL_EXIT, 0, 0)));
    fflush(stdout);
    return status;
}

// Loads ModemAbout from the build and runs it under a control panel window.
int LoadAndRunApplet(const AppletOptions &o) {
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
    int status = RunApplet(entry, host, o);
    dlclose(library);
    DestroyWindow(host);
    // A change that did not reach the registry file is a failure.
    if (kxtest::RegistryFileStatus() != ERROR_SUCCESS)
        status = 1;
    return status;
}

int AppletMain(const kxsim::Args &args) {
    AppletOptions o;
    int parsed = ReadOptions(args, &o);
    if (parsed >= 0)
        return parsed;
    ExportPaths(o);
    // A registry file the platform refused (it said why) is left alone.
    if (kxtest::RegistryFileStatus() != ERROR_SUCCESS)
        return 1;
#ifdef KXSIM_EMBEDDED_MODEM
    // Destroyed in reverse order: the module stops (removing its sockets)
    // before its folder goes.
    FolderRemover folder;
    kxmodem::Modem modem;
    if (o.deviceDir.empty() && !StartEmbeddedModem(modem, &folder))
        return 1;
#endif
    const char *dir = getenv("KX_DEVICE_DIR");
    if (!dir || !*dir) {
        fprintf(stderr, "kxsim applet: no module: give --device-dir of a running kxmodem "
                        "(or set KX_DEVICE_DIR)\n");
        return 2;
    }
    return LoadAndRunApplet(o);
}

KXSIM_SUBCOMMAND("applet", "control panel: load ModemAbout, show its page (--png, --click)",
                 AppletMain);

} // namespace
