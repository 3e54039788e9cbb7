// The dashboard's routes: the page's files, the servo list and its event
// stream, the register table and the commands, on the bus worker's thread
// (bus_worker.h). Sockets are elsewhere (http_server.h): a request goes in,
// an answer comes out.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "bus_worker.h"
#include "http_message.h"
#include "web_router.h"
#include "zavlib.h"

namespace zavctl {

class Dashboard {
public:
    // updated is called on the bus worker's thread after each new snapshot
    // (for the event streams); it must not block.
    Dashboard(PortHandle port, uint32_t reply_timeout_ms, Access access, std::function<void()> updated = nullptr,
              std::chrono::milliseconds poll_interval = std::chrono::milliseconds(100));

    HttpAnswer handle(const HttpRequest &request) const { return router_.handle(request); }
    bool screen(const HttpRequest &head, HttpAnswer &early) const { return router_.screen(head, early); }
    // Finishes the bus call under way; later commands get 503. Returns once the worker has stopped.
    void stop() { worker_.stop(); }

    static constexpr int kMaxStreams = 16;

private:
    class Stream;

    void add_reads();
    void add_commands();
    HttpAnswer reply(const Outcome &outcome, const std::string &what) const;
    HttpAnswer run(const Command &command, const std::string &what);
    HttpAnswer events();

    uint32_t reply_timeout_ms_;
    Router router_;
    BusWorker worker_;
    std::shared_ptr<std::atomic<int>> streams_ = std::make_shared<std::atomic<int>>(0);
};

} // namespace zavctl
