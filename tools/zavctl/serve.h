// `zavctl serve`: a live dashboard for the servos on an open port, served to
// browsers over HTTP, with a JSON interface for scripts.
#pragma once

#include <cstdint>
#include <string>

#include "zavlib.h"

namespace zavctl {

struct ServeOptions {
    int http_port = 8080;
    std::string listen = "127.0.0.1";
    // Required of every client when set, and chosen at random when listening
    // beyond loopback without one (ZAVCTL_TOKEN in the environment gives it too).
    std::string token;
    int32_t baud = ZAV_DEFAULT_BAUD; // the port's rate, which motions plan their ticks by
};

// Serves until SIGINT or SIGTERM; returns the exit status.
int serve(PortHandle port, uint32_t reply_timeout_ms, const ServeOptions &options);

} // namespace zavctl
