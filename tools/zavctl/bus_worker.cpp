#include "bus_worker.h"

#include "registers.h"

namespace zavctl {

namespace {

constexpr int kParamsEveryRounds = 20; // the parameters only change when written: re-read now and then

} // namespace

BusWorker::BusWorker(PortHandle port, Serializer serialize, std::chrono::milliseconds poll_interval,
                     Listener published)
    : port_(port), serialize_(std::move(serialize)), published_(std::move(published)), poll_interval_(poll_interval),
      start_(std::chrono::steady_clock::now()) {
    thread_ = std::thread([this] { run_thread(); });
}

BusWorker::~BusWorker() { stop(); }

void BusWorker::stop() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stop_ = true;
    }
    work_.notify_all();
    state_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool BusWorker::stopping() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return stop_;
}

// The worker as a job sees it, on the worker's thread.
class BusWorker::Job : public JobContext {
public:
    explicit Job(BusWorker &worker) : worker_(worker) {}
    PortHandle port() const override { return worker_.port_; }
    void publish() override {
        for (ServoState &servo : worker_.servos_) worker_.refresh_from_image(servo);
        worker_.publish();
    }
    bool release_waiting() const override {
        std::lock_guard<std::mutex> hold(worker_.mutex_);
        return worker_.stop_ || (!worker_.queue_.empty() && worker_.queue_.front()->command.kind == Command::Kind::kRelease);
    }

private:
    BusWorker &worker_;
};

bool BusWorker::post(Command job) {
    auto pending = std::make_shared<Pending>();
    pending->command = std::move(job);
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (stop_ || job_active_) return false;
        job_active_ = true;
        queue_.push_back(pending);
    }
    work_.notify_all();
    return true;
}

bool BusWorker::job_active() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return job_active_;
}

Outcome BusWorker::run(Command command, std::chrono::milliseconds queue_deadline) {
    auto pending = std::make_shared<Pending>();
    pending->command = std::move(command);
    std::unique_lock<std::mutex> lock(mutex_);
    if (stop_) return {};
    if (job_active_ && pending->command.kind != Command::Kind::kRelease) {
        Outcome busy;
        busy.result = Outcome::Result::kBusy;
        return busy;
    }
    if (pending->command.kind == Command::Kind::kRelease) {
        // Behind other releases, ahead of everything else.
        auto it = queue_.begin();
        while (it != queue_.end() && (*it)->command.kind == Command::Kind::kRelease) ++it;
        queue_.insert(it, pending);
    } else {
        queue_.push_back(pending);
    }
    work_.notify_all();
    const auto deadline = std::chrono::steady_clock::now() + queue_deadline;
    while (!pending->finished) {
        if (!pending->started && (stop_ || std::chrono::steady_clock::now() >= deadline)) {
            for (auto it = queue_.begin(); it != queue_.end(); ++it) {
                if (*it == pending) {
                    queue_.erase(it);
                    break;
                }
            }
            return {};
        }
        if (pending->started) {
            state_.wait(lock);
        } else {
            state_.wait_until(lock, deadline);
        }
    }
    return pending->outcome;
}

std::shared_ptr<const Snapshot> BusWorker::latest() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return latest_;
}

std::shared_ptr<const Snapshot> BusWorker::wait_newer(uint64_t seq, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool newer = state_.wait_for(lock, timeout, [&] { return stop_ || (latest_ && latest_->seq > seq); });
    return newer && !stop_ ? latest_ : nullptr;
}

std::shared_ptr<const Snapshot> BusWorker::fresh(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (job_active_ && latest_) return latest_;
    // A round under way may have polled some servos before this call.
    const uint64_t target = rounds_started_ + 1;
    poll_now_ = true;
    work_.notify_all();
    const bool done = state_.wait_for(lock, timeout, [&] { return stop_ || rounds_finished_ >= target; });
    return done && !stop_ ? latest_ : nullptr;
}

void BusWorker::run_thread() {
    scan();
    publish();
    auto next_round = std::chrono::steady_clock::now() + poll_interval_;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        if (!queue_.empty()) {
            lock.unlock();
            run_queued();
            lock.lock();
            continue;
        }
        if (poll_now_ || std::chrono::steady_clock::now() >= next_round) {
            poll_now_ = false;
            ++rounds_started_;
            lock.unlock();
            const auto round_start = std::chrono::steady_clock::now();
            poll_round();
            next_round = round_start + poll_interval_;
            lock.lock();
            continue;
        }
        work_.wait_until(lock, next_round);
    }
    // Commands still queued are refused: their callers see stop_ and return.
    queue_.clear();
    lock.unlock();
    state_.notify_all();
}

bool BusWorker::run_queued() {
    std::shared_ptr<Pending> pending;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (queue_.empty() || stop_) return false;
        pending = queue_.front();
        queue_.pop_front();
        pending->started = true;
    }
    Outcome outcome;
    if (pending->command.kind == Command::Kind::kJob) {
        Job context(*this);
        pending->command.job(context);
        outcome.result = Outcome::Result::kDone;
        for (ServoState &servo : servos_) refresh_from_image(servo);
    } else {
        outcome = execute(pending->command);
    }
    outcome.snapshot = publish();
    {
        std::lock_guard<std::mutex> hold(mutex_);
        pending->outcome = outcome;
        pending->finished = true;
        if (pending->command.kind == Command::Kind::kJob) job_active_ = false;
    }
    state_.notify_all();
    return true;
}

void BusWorker::poll_round() {
    const uint64_t scans_before = scans_;
    const bool with_params = rounds_ % kParamsEveryRounds == kParamsEveryRounds - 1;
    ++rounds_;
    for (std::size_t i = 0; i < servos_.size(); ++i) {
        poll(servos_[i], with_params);
        // Commands wait for one servo's poll at most, not a whole round.
        while (run_queued()) {
        }
        if (scans_ != scans_before || stopping()) break; // the list changed under the round
    }
    publish();
    {
        std::lock_guard<std::mutex> hold(mutex_);
        ++rounds_finished_;
    }
    state_.notify_all();
}

ServoState *BusWorker::find(int id) {
    for (ServoState &s : servos_) {
        if (s.id == id) return &s;
    }
    return nullptr;
}

// Torque, goal and present position from the library's image (no bus traffic).
void BusWorker::refresh_from_image(ServoState &servo) {
    uint8_t image[10] = {};
    peek_image(port_, servo.id, image);
    servo.torque = image[1] != 0;
    servo.goal = image[2] | image[3] << 8;
    servo.present = image[6] | image[7] << 8;
}

bool BusWorker::poll(ServoState &servo, bool with_params) {
    uint8_t image[10] = {};
    StatusWord status = 0;
    const uint8_t id = static_cast<uint8_t>(servo.id);
    // One position exchange and the two readings; the parameters when asked.
    bool ok = ZAV_ReadBlockData(port_, id, 6, image + 6, 4, &status);
    if (ok && with_params) ok = ZAV_ReadBlockData(port_, id, 4, image + 4, 2, &status);
    refresh_from_image(servo);
    servo.answering = ok;
    servo.failure = ok ? 0 : status;
    if (!ok) return false;
    servo.sc3 = static_cast<int8_t>(image[8]);
    servo.sc4 = static_cast<int8_t>(image[9]);
    if (with_params) {
        servo.sc2 = image[4];
        servo.sc1 = image[5];
    }
    return true;
}

void BusWorker::scan() {
    std::vector<ServoState> found;
    for (int id = 0; id <= kIdMax && !stopping(); ++id) {
        if (!ZAV_Ping(port_, static_cast<uint8_t>(id), nullptr)) continue;
        ServoState servo;
        servo.id = id;
        poll(servo, true);
        found.push_back(servo);
    }
    servos_ = std::move(found);
    ++scans_;
}

Outcome BusWorker::execute(const Command &command) {
    Outcome outcome;
    outcome.result = Outcome::Result::kDone;
    if (command.kind == Command::Kind::kScan) {
        scan();
        return outcome;
    }
    // Every other command names scanned servos only.
    std::vector<int> ids;
    if (command.kind == Command::Kind::kSync) {
        for (const auto &entry : command.goals) ids.push_back(entry.first);
    } else {
        ids.push_back(command.id);
    }
    for (int id : ids) {
        if (find(id) == nullptr) {
            outcome.result = Outcome::Result::kUnknownServo;
            outcome.failed_id = id;
            return outcome;
        }
    }

    StatusWord status = 0;
    bool ok = false;
    int failed_id = command.id;
    const uint8_t id = static_cast<uint8_t>(command.id);
    switch (command.kind) {
    case Command::Kind::kMove:
        ok = hold_and_move(port_, command.id, command.goal, &status);
        break;
    case Command::Kind::kHold:
        ok = ZAV_WriteByteData(port_, id, ZAV_REG_TORQUE_ENABLE, 1, &status);
        break;
    case Command::Kind::kRelease:
        ok = ZAV_WriteByteData(port_, id, ZAV_REG_TORQUE_ENABLE, 0, &status);
        break;
    case Command::Kind::kParams: {
        ServoState &servo = *find(command.id);
        if (command.sc1 >= 0 && command.sc2 >= 0) {
            const uint8_t block[2] = {static_cast<uint8_t>(command.sc2), static_cast<uint8_t>(command.sc1)};
            ok = ZAV_WriteBlockData(port_, id, ZAV_REG_SC2_VALUE, block, 2, &status);
        } else if (command.sc1 >= 0) {
            ok = ZAV_WriteByteData(port_, id, ZAV_REG_SC1_VALUE, static_cast<uint8_t>(command.sc1), &status);
        } else {
            ok = ZAV_WriteByteData(port_, id, ZAV_REG_SC2_VALUE, static_cast<uint8_t>(command.sc2), &status);
        }
        if (ok && status == 0) {
            if (command.sc1 >= 0) servo.sc1 = command.sc1;
            if (command.sc2 >= 0) servo.sc2 = command.sc2;
        } else {
            // Part of the write may have landed: ask the servo.
            uint8_t params[2] = {};
            if (ZAV_ReadBlockData(port_, id, ZAV_REG_SC2_VALUE, params, 2, nullptr)) {
                servo.sc2 = params[0];
                servo.sc1 = params[1];
            }
        }
        break;
    }
    case Command::Kind::kSync: {
        ok = hold_and_move_all(port_, command.goals, &status);
        failed_id = BROADCAST_ID;
        if (!ok || status != 0) {
            // The write stops at the first servo that fails: the first whose image lacks its goal.
            for (const auto &entry : command.goals) {
                uint8_t image[4] = {};
                ZAV_ReadBlockData(port_, static_cast<uint8_t>(entry.first), 1, image + 1, 3, nullptr);
                if (image[1] == 0 || (image[2] | image[3] << 8) != entry.second) {
                    failed_id = entry.first;
                    break;
                }
            }
        }
        break;
    }
    case Command::Kind::kRegisters: {
        ok = ZAV_ReadBlockData(port_, id, 0, outcome.image, ZAV_REGISTER_COUNT, &status);
        if (ok) {
            ServoState &servo = *find(command.id);
            servo.sc2 = outcome.image[ZAV_REG_SC2_VALUE];
            servo.sc1 = outcome.image[ZAV_REG_SC1_VALUE];
            servo.sc3 = static_cast<int8_t>(outcome.image[ZAV_REG_SC3_VALUE]);
            servo.sc4 = static_cast<int8_t>(outcome.image[ZAV_REG_SC4_VALUE]);
        }
        break;
    }
    case Command::Kind::kScan:
    case Command::Kind::kJob: // run_queued runs jobs itself
        break;
    }
    for (int each : ids) refresh_from_image(*find(each));
    if (!ok || status != 0) {
        outcome.result = Outcome::Result::kBusFailed;
        outcome.status = status;
        outcome.failed_id = failed_id;
    }
    return outcome;
}

std::shared_ptr<const Snapshot> BusWorker::publish() {
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->time_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    snapshot->servos = servos_;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        snapshot->seq = next_seq_++;
    }
    snapshot->json = serialize_(*snapshot);
    {
        std::lock_guard<std::mutex> hold(mutex_);
        // Only the worker thread publishes, so sequence numbers arrive in order.
        latest_ = snapshot;
    }
    state_.notify_all();
    if (published_) published_();
    return snapshot;
}

} // namespace zavctl
