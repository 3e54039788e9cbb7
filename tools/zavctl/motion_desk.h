// The dashboard's motions (routes under /api/motion): poses read from the
// servos, motions played and teach-in recorded on the bus worker's thread
// through the motion engine (tools/motion), one at a time. A request that
// starts one returns once it has started, or with the reason it was refused;
// its progress travels in the servo list's snapshots ("motion").
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "bus_worker.h"
#include "web_router.h"

namespace zavmotion {
class Engine;
struct Motion;
} // namespace zavmotion

namespace zavctl {

class MotionDesk {
public:
    MotionDesk(int32_t baud, uint32_t reply_timeout_ms);
    ~MotionDesk();
    MotionDesk(const MotionDesk &) = delete;
    MotionDesk &operator=(const MotionDesk &) = delete;

    // The worker that runs the motions; set before any request comes.
    void attach(BusWorker &worker) { worker_ = &worker; }
    void add_routes(Router &router);
    // What runs or ran last, as the snapshots carry it. Any thread.
    Json status() const;
    // Ends what runs (the server is stopping). Any thread.
    void stop();

    // Motion files are larger than commands: a recording of a minute is some
    // hundred kilobytes.
    static constexpr std::size_t kBodyBytes = 1u << 20;
    static constexpr double kMaxRecordSeconds = 600.0;

private:
    struct Start;
    enum class State { kIdle, kStarting, kPlaying, kRecording };

    HttpAnswer play(RouteCall &call);
    HttpAnswer record(RouteCall &call);
    HttpAnswer pose(RouteCall &call);
    HttpAnswer check(RouteCall &call) const;
    HttpAnswer recording() const;
    HttpAnswer halt();
    // Posts a job and waits until it has started or was refused.
    HttpAnswer launch(State state, std::function<void(JobContext &, Start &)> job);
    // Progress, stop requests and snapshots while the engine runs.
    void on_tick(zavmotion::Engine &engine, JobContext &context, double elapsed, double total, int loop,
                 double motion_s);
    std::string explain_failure(StatusWord status, int id) const;

    int32_t baud_;
    uint32_t reply_timeout_ms_;
    BusWorker *worker_ = nullptr;
    std::atomic<bool> stop_requested_{false};
    std::chrono::steady_clock::time_point last_publish_;

    mutable std::mutex mutex_;
    State state_ = State::kIdle;
    zavmotion::Engine *engine_ = nullptr; // while one runs
    Json progress_;                      // of what runs
    Json last_;                          // how the last one ended
    std::shared_ptr<const zavmotion::Motion> recording_;
};

} // namespace zavctl
