// The one thread that owns an open port for `zavctl serve`: it polls the
// scanned servos several times a second and carries out commands queued by
// other threads, one at a time and between polls. Other threads never call
// the library; they read the latest snapshot or queue a command and wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "zavlib.h"

namespace zavctl {

struct ServoState {
    int id = 0;
    bool answering = true;
    bool torque = false;
    int goal = 0;
    int present = 0;
    int sc1 = 0;
    int sc2 = 0;
    int sc3 = 0;
    int sc4 = 0;
    StatusWord failure = 0; // why the last poll failed, while not answering
};

// The state of the scanned servos after one poll round or command.
struct Snapshot {
    uint64_t seq = 0;    // grows with every snapshot
    double time_s = 0.0; // since the worker started
    std::vector<ServoState> servos;
    std::string json; // the snapshot as the clients receive it
};

// What a long bus job (a motion playing or recording) may ask of the worker
// whose thread runs it.
class JobContext {
public:
    virtual ~JobContext() = default;
    virtual PortHandle port() const = 0;
    // Refreshes the servo list from the library's image (no bus traffic) and
    // publishes it, for the page's cards and chart.
    virtual void publish() = 0;
    // A release is waiting: a job that moves servos should end soon.
    virtual bool release_waiting() const = 0;
};

struct Command {
    enum class Kind { kScan, kMove, kHold, kRelease, kParams, kSync, kRegisters, kJob };
    Kind kind = Kind::kScan;
    int id = -1;
    int goal = 0;
    int sc1 = -1; // -1: leave as it is
    int sc2 = -1;
    std::vector<std::pair<int, int>> goals; // kSync: id, goal
    std::function<void(JobContext &)> job;  // kJob: runs on the worker's thread, bounded by itself
};

struct Outcome {
    enum class Result {
        kDone,
        kUnknownServo, // id is not among the scanned servos
        kBusFailed,    // the library reported a failure: status, failed_id
        kNotRun,       // the worker stopped, or the command waited too long to start
        kBusy,         // a job (a motion) holds the bus: nothing was sent
    };
    Result result = Result::kNotRun;
    StatusWord status = 0;
    int failed_id = -1;       // the servo the failure or the unknown id concerns
    uint8_t image[10] = {};   // kRegisters: the ten registers as read
    std::shared_ptr<const Snapshot> snapshot; // published right after the command
};

class BusWorker {
public:
    using Serializer = std::function<std::string(const Snapshot &)>;
    using Listener = std::function<void()>;

    // Starts the thread, which scans the bus first. published (when set) is
    // called on the worker's thread after each new snapshot; it must not block.
    BusWorker(PortHandle port, Serializer serialize, std::chrono::milliseconds poll_interval,
              Listener published = nullptr);
    ~BusWorker();
    BusWorker(const BusWorker &) = delete;
    BusWorker &operator=(const BusWorker &) = delete;

    // Finishes the command or poll under way, refuses the queued ones, joins.
    void stop();
    bool stopping() const;

    // Queues a command and waits for its outcome. A command that has not
    // started within queue_deadline is dropped (kNotRun, nothing changed);
    // once started it runs to its end, which the library's time-outs bound.
    // A release goes ahead of the queued commands: letting go never waits
    // behind moves. While a job runs, other commands are refused (kBusy) and a
    // release waits for the job, which sees it waiting and ends.
    Outcome run(Command command, std::chrono::milliseconds queue_deadline);
    // Queues a job and returns at once; false when the worker is stopping or
    // another job is queued or running.
    bool post(Command job);
    bool job_active() const;

    // The latest snapshot (null before the first scan has finished).
    std::shared_ptr<const Snapshot> latest() const;
    // A snapshot newer than seq, or null after timeout or on stop.
    std::shared_ptr<const Snapshot> wait_newer(uint64_t seq, std::chrono::milliseconds timeout) const;
    // The first snapshot of a poll round that starts after this call.
    // While a job runs there are no poll rounds: the job's latest snapshot.
    std::shared_ptr<const Snapshot> fresh(std::chrono::milliseconds timeout);

private:
    class Job;
    struct Pending {
        Command command;
        bool started = false;
        bool finished = false;
        Outcome outcome;
    };

    void run_thread();
    bool run_queued(); // true when a command ran
    Outcome execute(const Command &command);
    void scan();
    bool poll(ServoState &servo, bool with_params);
    void poll_round();
    void refresh_from_image(ServoState &servo);
    ServoState *find(int id);
    std::shared_ptr<const Snapshot> publish();

    PortHandle port_;
    Serializer serialize_;
    Listener published_;
    std::chrono::milliseconds poll_interval_;
    std::chrono::steady_clock::time_point start_;

    // Owned by the worker thread.
    std::vector<ServoState> servos_;
    uint64_t rounds_ = 0;
    uint64_t scans_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable work_;          // the worker waits for commands
    mutable std::condition_variable state_; // others wait for snapshots and outcomes
    std::deque<std::shared_ptr<Pending>> queue_;
    std::shared_ptr<const Snapshot> latest_;
    uint64_t next_seq_ = 1;
    uint64_t rounds_started_ = 0;
    uint64_t rounds_finished_ = 0;
    std::shared_ptr<const Snapshot> last_round_;
    bool poll_now_ = false;
    bool job_active_ = false; // a job is queued or running
    bool stop_ = false;
    std::thread thread_;
};

} // namespace zavctl
