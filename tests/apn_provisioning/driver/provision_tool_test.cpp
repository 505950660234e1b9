// kxsim provision against a scripted module: the shipped profiles are
// applied on a home registration and saved; a second boot finds them current;
// roaming applies nothing.

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "at_peer.h"

namespace {

std::string Bin() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    path[n > 0 ? n : 0] = 0;
    std::string s(path);
    return s.substr(0, s.find_last_of('/'));
}

// The module: switching the radio off deregisters, switching it on
// registers (with `stat`), each change reported to every session.
void Script(kxtest::AtPeer &peer, int stat) {
    peer.SetResponder([&peer, stat](const std::string &c) -> std::vector<std::string> {
        if (c == "AT+CFUN=0")
            return {"\r\nOK\r\n", "\r\n+CREG: 0\r\n"};
        if (c == "AT+CFUN=1") {
            std::thread([&peer, stat] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                peer.Send("\r\n+CREG: " + std::to_string(stat) + "\r\n");
            }).detach();
            return {"\r\nOK\r\n"};
        }
        if (c == "AT+COPS?")
            return {"\r\n+COPS: 0,0,\"KxTel Mobile\",2\r\n\r\nOK\r\n"};
        return {"\r\nOK\r\n"};
    });
}

int RunProvision(const std::string &args, std::string *output) {
    std::string command = Bin() + "/kxsim provision " + args + " 2>&1";
    FILE *p = popen(command.c_str(), "r");
    char buffer[512];
    output->clear();
    while (fgets(buffer, sizeof(buffer), p))
        *output += buffer;
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ProvisionTool, AppliesOnceThenFindsItCurrentAndIgnoresRoaming) {
    kxtest::AtPeer peer;
    std::string registry = peer.Directory() + "/device.reg";
    std::string args =
        "--registry " + registry + " --device-dir " + peer.Directory() + " --timeout 10";
    std::string out;

    Script(peer, 1);
    peer.Listen();
    ASSERT_EQ(0, RunProvision(args, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("result: applied \"KxTel Internet\"")) << out;
    EXPECT_NE(std::string::npos, out.find("GPRSInfoAccessPointName = \"kxtel.internet\"")) << out;
    std::ifstream in(registry);
    std::stringstream saved;
    saved << in.rdbuf();
    EXPECT_NE(std::string::npos, saved.str().find("\"CurrentConfig\"=\"KxTel Internet\""));
    peer.Stop();

    Script(peer, 1);
    peer.Listen();
    ASSERT_EQ(0, RunProvision(args, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("is current already; nothing applied")) << out;
    peer.Stop();

    std::string roamingRegistry = peer.Directory() + "/roaming.reg";
    Script(peer, 5);
    peer.Listen();
    EXPECT_EQ(3, RunProvision("--registry " + roamingRegistry + " --device-dir " +
                                  peer.Directory() + " --timeout 1",
                              &out))
        << out;
    EXPECT_NE(std::string::npos, out.find("roaming")) << out;
    std::ifstream roaming(roamingRegistry);
    std::stringstream roamingText;
    roamingText << roaming.rdbuf();
    EXPECT_EQ(std::string::npos, roamingText.str().find("CurrentConfig\"="));
}

} // namespace

namespace {

// The whole boot against the embedded module, from the shipped registry.
TEST(ProvisionTool, EmbeddedModuleFromTheShippedRegistry) {
    char pattern[] = "/tmp/kxprovtestXXXXXX";
    std::string dir = mkdtemp(pattern);
    std::string registry = dir + "/device.reg";
    std::string out;
    int rc = RunProvision("--registry " + registry + " --timeout 20", &out);
    if (out.find("no embedded module") != std::string::npos) {
        rmdir(dir.c_str());
        GTEST_SKIP() << "this build has no embedded module";
    }
    EXPECT_EQ(0, rc) << out;
    EXPECT_NE(std::string::npos, out.find("result: applied \"KxTel Internet\"")) << out;
    EXPECT_EQ(0, RunProvision("--registry " + registry + " --timeout 20", &out)) << out;
    EXPECT_NE(std::string::npos, out.find("is current already")) << out;
    std::string roaming = dir + "/roaming.reg";
    EXPECT_EQ(3, RunProvision("--registry " + roaming + " --roaming --timeout 20", &out)) << out;
    unlink(registry.c_str());
    unlink(roaming.c_str());
    rmdir(dir.c_str());
}

} // namespace
