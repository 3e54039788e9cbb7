// The dashboard's routes: the page's files, the servo list and its event
// stream, the register table and the commands, on the bus worker's thread
// (bus_worker.h). Sockets are elsewhere (http_server.h): a request goes in,
// an answer comes out.
//
// A new group of routes registers in a member function of its own, called
// from the constructor: router_.read(pattern, handler) for a GET,
// router_.command(pattern, {fields}, handler) for a POST with a JSON body. The
// router runs every check (web_router.h) before the handler; the handler gets
// the body's object with only the named fields, and {servo} already checked.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>
#include <cstdint>
#include <functional>
#include <memory>

#include "bus_worker.h"
#include "http_message.h"
#include "motion_desk.h"
#include "web_router.h"
#include "zavlib.h"

namespace zavctl {

class Dashboard {
public:
    // updated is called on the bus worker's thread after each new snapshot
    // (for the event streams); it must not block.
    Dashboard(PortHandle port, int32_t baud, uint32_t reply_timeout_ms, Access access,
              std::function<void()> updated = nullptr,
              std::chrono::milliseconds poll_interval = std::chrono::milliseconds(100));

    HttpAnswer handle(const HttpRequest &request) const { return router_.handle(request); }
    bool screen(const HttpRequest &head, HttpAnswer &early) const { return router_.screen(head, early); }
    bool screen(const HttpRequest &head, HttpAnswer &early, std::size_t &body_bytes) const {
        return router_.screen(head, early, body_bytes);
    }
    // Ends a motion under way and waits (at most timeout) until the bus is
    // free of it; false if it is not. For drivers of the routes without a
    // server (the fuzz target), so that each request meets an idle bus.
    bool settle(std::chrono::milliseconds timeout) {
        motion_.stop();
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (worker_.job_active()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    // Ends a motion under way (the servos hold), finishes the bus call under
    // way; later commands get 503. Returns once the worker has stopped.
    void stop() {
        motion_.stop();
        worker_.stop();
    }

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
    MotionDesk motion_; // before the worker, whose thread runs its motions and reads its status
    BusWorker worker_;
    std::shared_ptr<std::atomic<int>> streams_ = std::make_shared<std::atomic<int>>(0);
};

} // namespace zavctl
