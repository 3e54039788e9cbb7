// The motion file reader fed arbitrary text. It must read or refuse, never
// crash, hang or leak; a refusal is a sentence of valid UTF-8 (the dashboard
// sends it as JSON); what it reads writes back as a file that reads as the
// same motion; and every goal sampled from it lies within its servo's limits.
//   build-fuzz/motion_fuzz -max_len=8192 build-fuzz/motion-corpus fuzz/motion_corpus
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "motion.h"
#include "zavlib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    zavmotion::Motion motion;
    std::string error;
    if (!zavmotion::parse_motion(text, motion, error)) {
        if (error.empty()) std::abort();
        (void)nlohmann::json(error).dump(); // throws, and so ends the run, on invalid UTF-8
        return 0;
    }
    const std::string written = zavmotion::motion_to_json(motion);
    zavmotion::Motion again;
    if (!zavmotion::parse_motion(written, again, error) || zavmotion::motion_to_json(again) != written) std::abort();

    const zavmotion::Sampler sampler(motion);
    const double d = sampler.duration();
    std::vector<int> goals;
    for (double t : {0.0, d / 3.0, d / 2.0, d * 0.999, d, d + 1.0}) {
        sampler.sample(t, goals);
        for (std::size_t i = 0; i < goals.size(); ++i) {
            int low = static_cast<int>(ZAV_GOAL_MIN), high = static_cast<int>(ZAV_GOAL_MAX);
            const auto limit = motion.limits.find(sampler.servos()[i]);
            if (limit != motion.limits.end()) {
                low = limit->second.first;
                high = limit->second.second;
            }
            if (goals[i] < low || goals[i] > high) std::abort();
        }
    }
    return 0;
}
