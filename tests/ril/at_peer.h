// A scripted module side of the AT port for tests: a SOCK_SEQPACKET listener
// on KXA1 in a temporary KX_DEVICE_DIR. Each command line the RIL writes is
// recorded and answered by the responder with zero or more messages.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kxtest {

class AtPeer {
  public:
    using Responder = std::function<std::vector<std::string>(const std::string &command)>;

    AtPeer(); // sets KX_DEVICE_DIR to a fresh folder; not listening yet
    ~AtPeer();

    void Listen(); // creates the KXA1 socket and accepts sessions
    void Stop();   // closes the listener and every session
    void SetResponder(Responder responder);
    // Sends one message to every session.
    void Send(const std::string &message);
    // Command lines received (without the CR), in order, all sessions.
    std::vector<std::string> Commands() const;
    bool WaitForCommands(size_t count, int milliseconds = 5000) const;
    int Sessions() const;
    bool WaitForSessions(int count, int milliseconds = 5000) const;
    const std::string &Directory() const { return dir_; }

  private:
    void Loop();

    std::string dir_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<int> sessions_;
    std::vector<std::string> commands_;
    Responder responder_;
};

} // namespace kxtest
