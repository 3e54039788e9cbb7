// `zavctl serve`: the dashboard's routes (dashboard_routes.h) behind the HTTP
// server (http_server.h), the access token beyond loopback, and stopping on
// SIGINT or SIGTERM whatever the clients do.
#ifdef _WIN32
#define _CRT_RAND_S // rand_s: random bits from the system
#endif
#include "serve.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#ifndef _WIN32
#include <sys/random.h>
#endif

#include "dashboard_routes.h"
#include "exit_codes.h"
#include "http_server.h"
#include "web_router.h"

namespace zavctl {

namespace {

volatile std::sig_atomic_t g_stop_signal = 0;
void on_stop_signal(int) { g_stop_signal = 1; }

// 128 random bits from the operating system as 32 hex digits; "" if it has none to give.
std::string random_token() {
    unsigned char bytes[16] = {};
#ifdef _WIN32
    for (std::size_t i = 0; i < sizeof bytes; i += 4) {
        unsigned int word = 0;
        if (rand_s(&word) != 0) return "";
        for (std::size_t k = 0; k < 4; ++k) bytes[i + k] = static_cast<unsigned char>(word >> (8 * k));
    }
#else
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return "";
#endif
    static const char hex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += hex[b >> 4];
        token += hex[b & 15];
    }
    return token;
}

} // namespace

int serve(PortHandle port, uint32_t reply_timeout_ms, const ServeOptions &options) {
    std::string listen = options.listen;
    if (listen.size() > 2 && listen.front() == '[' && listen.back() == ']') listen = listen.substr(1, listen.size() - 2);
    if (listen.empty()) {
        std::fprintf(stderr, "zavctl: --listen takes an address of this machine, e.g. 127.0.0.1\n");
        return kExitUsage;
    }
    if (options.http_port < 0 || options.http_port > 65535) {
        std::fprintf(stderr, "zavctl: --http-port takes 0 to 65535 (0: any free port)\n");
        return kExitUsage;
    }

    // The token: given, or chosen here when listening beyond loopback.
    std::string token = options.token;
    const char *from_environment = std::getenv("ZAVCTL_TOKEN");
    if (token.empty() && from_environment != nullptr) token = from_environment;
    if (!token.empty() && !Access::token_acceptable(token)) {
        std::fprintf(stderr,
                     "zavctl: the access token (--token or ZAVCTL_TOKEN) must be at least %zu characters of letters, "
                     "digits and . _ ~ -\n",
                     Access::kMinTokenLength);
        return kExitUsage;
    }
    if (token.empty() && !Access(listen, 0, "").loopback()) {
        token = random_token();
        if (token.empty()) {
            std::fprintf(stderr, "zavctl: the system gave no random bits for an access token; give one with --token\n");
            return kExitUnavailable;
        }
    }

    // The server exists before the dashboard, whose bus worker wakes its
    // streams; it starts serving (start() below) once the dashboard is there.
    const Dashboard *served = nullptr;
    HttpLimits limits;
    limits.largest_body_bytes = MotionDesk::kBodyBytes; // motion files; every other route takes the default
    HttpServer server(
        limits,
        [&served](const HttpRequest &request) { return served->handle(request); },
        [&served](const HttpRequest &head, HttpAnswer &early, std::size_t &body_bytes) {
            return served->screen(head, early, body_bytes);
        },
        [](int status, const std::string &sentence) { return Router::refusal(status, sentence); });
    std::string why;
    if (!server.listen(listen, options.http_port, why)) {
        std::fprintf(stderr,
                     "zavctl: cannot listen on %s port %d: another program (or another zavctl serve) uses it, or the "
                     "address is not one of this machine's (%s); choose another with --http-port (0: any free port)\n",
                     listen.c_str(), options.http_port, why.c_str());
        return kExitCannotOpen;
    }
    const Access access(listen, server.port(), token);
    Dashboard dashboard(port, options.baud, reply_timeout_ms, access, [&server] { server.wake_streams(); });
    served = &dashboard;

    g_stop_signal = 0;
    auto old_int = std::signal(SIGINT, on_stop_signal);
    auto old_term = std::signal(SIGTERM, on_stop_signal);
#ifdef SIGBREAK
    auto old_break = std::signal(SIGBREAK, on_stop_signal);
#endif
    server.start();
    std::printf("serving %s\n", access.url().c_str());
    std::fflush(stdout);
    if (access.token_required() && !access.loopback()) {
        std::fprintf(stderr,
                     "zavctl: listening on %s, beyond this machine: only browsers that opened the address above, and "
                     "scripts that send Authorization: Bearer TOKEN, may use it; Ctrl+C stops\n",
                     listen.c_str());
    } else {
        std::fprintf(stderr, "zavctl: open %s in a browser; Ctrl+C stops\n", access.url().c_str());
    }

    while (g_stop_signal == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));

    // The bus call under way finishes (the library's time-outs bound it) and
    // the servos keep their state; then every connection closes.
    dashboard.stop();
    server.stop();
    std::signal(SIGINT, old_int);
    std::signal(SIGTERM, old_term);
#ifdef SIGBREAK
    std::signal(SIGBREAK, old_break);
#endif
    return kExitOk;
}

} // namespace zavctl
