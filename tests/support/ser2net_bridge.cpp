#include "ser2net_bridge.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "pty_link.h"

namespace {

using Clock = std::chrono::steady_clock;

// Whether something listens on 127.0.0.1:port, from the kernel's socket table.
// A probe connection would not do: ser2net serves it (opening the device,
// negotiating) and may still be closing it when the test's client arrives,
// and then turns that client away.
bool listening(int port) {
    std::ifstream table("/proc/net/tcp");
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    std::string line;
    std::getline(table, line); // the header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") return true; // TCP_LISTEN
    }
    return false;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

int free_loopback_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

Ser2netBridge::Ser2netBridge(const std::string &ser2net_path, const std::string &device) {
    char pattern[] = "/tmp/zav-ser2net-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        error_ = "cannot make a temporary folder";
        return;
    }
    dir_ = pattern;
    // A port picked here may be taken by someone else before ser2net binds it:
    // then ser2net gives up on it, and a second pick is tried.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (start(ser2net_path, device)) return;
        stop(SIGKILL);
    }
}

Ser2netBridge::~Ser2netBridge() {
    stop(SIGTERM);
    if (!dir_.empty()) {
        unlink((dir_ + "/ser2net.yaml").c_str());
        unlink((dir_ + "/ser2net.log").c_str());
        rmdir(dir_.c_str());
    }
}

bool Ser2netBridge::start(const std::string &ser2net_path, const std::string &device) {
    if (access(ser2net_path.c_str(), X_OK) != 0) {
        error_ = ser2net_path + " is not there (Debian: apt-get install ser2net)";
        return false;
    }
    raw_port_ = free_loopback_port();
    do telnet_port_ = free_loopback_port();
    while (telnet_port_ == raw_port_);
    const std::string config = dir_ + "/ser2net.yaml";
    const std::string log = dir_ + "/ser2net.log";
    {
        std::ofstream out(config);
        // The line settings the bus uses; kickolduser lets a new client take
        // the port from one that went away without closing.
        for (const auto &[name, accepter] : {std::pair<std::string, std::string>{"raw", "tcp"},
                                             {"telnet", "telnet(rfc2217),tcp"}}) {
            const int port = name == "raw" ? raw_port_ : telnet_port_;
            out << "connection: &" << name << "\n"
                << "  accepter: " << accepter << ",127.0.0.1," << port << "\n"
                << "  connector: serialdev," << device << ",115200e81,local\n"
                << "  options:\n"
                << "    kickolduser: true\n";
        }
    }
    pid_ = fork();
    if (pid_ == 0) {
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(out, 2);
        execl(ser2net_path.c_str(), ser2net_path.c_str(), "-n", "-d", "-c", config.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid_ < 0) {
        error_ = "cannot start ser2net";
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "ser2net ended at start: " + read_file(log);
            return false;
        }
        if (listening(raw_port_) && listening(telnet_port_)) {
            error_.clear();
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "ser2net does not accept on ports " + std::to_string(raw_port_) + " and " + std::to_string(telnet_port_) +
             ": " + read_file(log);
    return false;
}

void Ser2netBridge::kill() { stop(SIGKILL); }

void Ser2netBridge::stop(int signal) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
}

namespace {

class BridgedHarness : public BusHarness {
public:
    BridgedHarness(BridgeScheme scheme, const zavsim::BusOptions &options)
        : scheme_(scheme), bus_(options), runner_(bus_, link_), bridge_(ZAV_SER2NET_PATH, link_.slave_path()) {}
    std::string port_name() const override {
        return scheme_ == BridgeScheme::kTcp ? bridge_.tcp_url() : bridge_.rfc2217_url();
    }
    zavsim::BusRunner &runner() override { return runner_; }
    Ser2netBridge &bridge() { return bridge_; }
    bool ok() const { return link_.ok() && bridge_.error().empty(); }

private:
    BridgeScheme scheme_;
    zavsim::ServoBus bus_;
    zavsim::PtyLink link_;
    zavsim::BusRunner runner_;
    Ser2netBridge bridge_;
};

} // namespace

std::unique_ptr<BusHarness> make_bridged_harness(BridgeScheme scheme, const zavsim::BusOptions &options) {
    auto harness = std::make_unique<BridgedHarness>(scheme, options);
    if (!harness->ok()) {
        std::fprintf(stderr, "ser2net bridge: %s\n", harness->bridge().error().c_str());
        return nullptr;
    }
    return harness;
}

Ser2netBridge *bridge_of(BusHarness &harness) {
    auto *bridged = dynamic_cast<BridgedHarness *>(&harness);
    return bridged != nullptr ? &bridged->bridge() : nullptr;
}
