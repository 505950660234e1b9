// Test support for the ModemAbout tests: the applet loaded fresh for each
// test, a scripted RIL that takes the place of ril's calls, a module AT
// port, a device root with chosen driver files, and registry helpers.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>
#include <cpl.h>
#include <ril.h>

namespace applet_test {

// ---- the scripted RIL ------------------------------------------------------------
// While active, RIL_Initialize, RIL_DevSpecific and RIL_Deinitialize are
// answered here; otherwise they go to the ril library.
struct RilScript {
    HRESULT initializeResult = S_OK;
    bool answers = true; // false: the request is never answered
    DWORD resultCode = RIL_RESULT_OK;
    bool nullData = false;
    std::string data;               // the answer's bytes (not zero-terminated)
    unsigned delayMilliseconds = 0; // real time before the answer, on a RIL thread
};

class ScriptedRil {
  public:
    explicit ScriptedRil(const RilScript &script);
    ~ScriptedRil();
    // What the applet sent.
    std::vector<std::string> Requests() const; // each request's bytes as passed
    int Initializations() const;
    int Deinitializations() const;
    std::vector<DWORD> NotificationClasses() const;
    std::vector<DWORD> PortIndexes() const;
};

// ---- a module's AT port --------------------------------------------------------------
// A SOCK_SEQPACKET listener on KXA1 in a temporary KX_DEVICE_DIR, serving
// any number of sessions. Each command line is answered by the responder
// with zero or more messages. Defaults: AT+CFUN? with "+CFUN: 1", ATI1 with
// a four-line identification, everything else OK.
class AtModule {
  public:
    using Responder = std::function<std::vector<std::string>(const std::string &command)>;
    AtModule();
    ~AtModule();
    void SetResponder(Responder responder);
    void SetFunctionality(int level); // the +CFUN answer
    std::vector<std::string> Commands() const;

  private:
    void Serve();
    void Session(int fd);
    std::string dir_, saved_;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    Responder responder_;
    int level_ = 1;
    std::vector<std::string> commands_;
    std::vector<std::thread> sessions_;
    std::thread thread_;
};

// ---- the device root ----------------------------------------------------------------------
// A temporary KX_DEVICE_ROOT whose \windows holds the named driver files:
// "all" the six drivers of the page, or a selection ("KxCmdApi.dll", ...);
// "nofileversion.dll" as <as>.
class DeviceRoot {
  public:
    DeviceRoot();
    ~DeviceRoot();
    void AddAllDrivers();
    void Add(const std::string &name);
    void AddAs(const std::string &fixture, const std::string &name);

  private:
    std::string root_, saved_;
};

// ---- the applet -----------------------------------------------------------------------------
class Applet {
  public:
    Applet();  // loads ModemAbout.so (DllMain runs)
    ~Applet(); // unloads it
    LONG Send(UINT message, LPARAM lParam1 = 0, LPARAM lParam2 = 0);
    HWND Host() const { return host_; }

  private:
    void *library_ = nullptr;
    LONG(APIENTRY *entry_)(HWND, UINT, LPARAM, LPARAM) = nullptr;
    HWND host_ = nullptr;
};

// The page (one line per control) as the sheet showed it, from a full run:
// CPL_INIT, CPL_DBLCLK with the given clicks on the checkbox, CPL_EXIT.
std::vector<std::string> PageLines(const std::string &dump);

// ---- the registry -----------------------------------------------------------------------------
void SetHacMode(DWORD value);
void DeleteHacMode();
// The stored value: true when present as REG_DWORD.
bool ReadHacMode(DWORD &value);

std::string Utf8(const WCHAR *text);
std::string BinDir(); // the folder of the test program and the libraries

} // namespace applet_test
