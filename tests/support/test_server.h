// A loopback TCP server in a thread of its own, playing a far end that a
// network device must survive: one that accepts and never says a word, one
// that sends without end, one that floods Telnet proposals, and a plain echo
// (for the address forms). Serves one connection at a time until destroyed.
#pragma once

#include <atomic>
#include <string>
#include <thread>

class TestServer {
public:
    enum class Behaviour {
        kSilent,            // accepts, reads and discards, never sends
        kEndlessData,       // sends bytes (0xFF among them) as fast as the client takes them
        kEndlessProposals,  // sends Telnet DO and WILL for every option, over and over
        kEcho,              // sends back what it receives
    };
    // ipv6: listen on [::1] instead of 127.0.0.1.
    explicit TestServer(Behaviour behaviour, bool ipv6 = false);
    ~TestServer();
    TestServer(const TestServer &) = delete;
    TestServer &operator=(const TestServer &) = delete;

    bool ok() const { return listener_ >= 0; }
    int port() const { return port_; }
    // "127.0.0.1:PORT" or "[::1]:PORT".
    std::string address() const;
    // Connections accepted so far.
    int accepted() const { return accepted_.load(); }

private:
    void run();
    void serve(int fd);

    Behaviour behaviour_;
    bool ipv6_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};
