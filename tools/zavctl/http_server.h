// The socket side of `zavctl serve`: HTTP/1.1 on one listening address, with
// every request bounded, whatever the client does:
//   - the request line and headers together take at most header_bytes (431),
//     the body at most body_bytes, or what the screen allows the request up to
//     largest_body_bytes (413); a Content-Length is digits only (400);
//   - the whole request must arrive within request_time of the connection's
//     opening (408 and closed), an answer must leave within answer_time;
//   - one request a connection, so nothing a refused request carried is read
//     as a request of its own;
//   - connections waiting for their request are the ones given up when all
//     slots are taken (the longest waiting first), and a client beyond
//     loopback holds at most connections_per_address slots: a slow client
//     cannot keep a quick one out;
//   - requests are handled on a few threads of their own, so reading and
//     writing never wait for a handler, and stop() ends everything at once.
// What a request means is the handler's business (web_router.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "http_message.h"

namespace zavctl {

struct HttpLimits {
    std::size_t header_bytes = 16 * 1024;
    std::size_t body_bytes = 4096;
    std::size_t largest_body_bytes = 4096; // the most a screen may allow a request
    std::chrono::milliseconds request_time{5000};
    std::chrono::milliseconds answer_time{10000};
    std::chrono::milliseconds stream_idle{1000}; // an event stream says something this often
    int connections = 64;
    int connections_per_address = 16;
    int handler_threads = 8;
};

class HttpServer {
public:
    // Runs on a handler thread, with the whole request; may block.
    using Handler = std::function<HttpAnswer(const HttpRequest &)>;
    // Runs on the I/O thread once the head has come (the body is empty), and
    // must not block: true, with the answer, when the request ends there, so
    // that a refused request's body is never read. body_bytes comes as
    // body_bytes of the limits; the screen may allow the request more.
    using Screen = std::function<bool(const HttpRequest &head, HttpAnswer &early, std::size_t &body_bytes)>;
    // The answer for a request refused by this layer (too large, too slow, malformed).
    using Refusal = std::function<HttpAnswer(int status, const std::string &sentence)>;

    HttpServer(const HttpLimits &limits, Handler handler, Screen screen, Refusal refusal);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Binds to address (a name or an address literal) and port (0: any free
    // one); false with the reason. A port in use by another server fails.
    bool listen(const std::string &address, int port, std::string &error);
    int port() const;
    // Serves on threads of its own until stop().
    void start();
    // The event streams have something new to send (any thread).
    void wake_streams();
    // Closes the listener and every connection, and joins the threads. Quick:
    // it waits for no client, only for handlers under way to return.
    void stop();

    struct Impl; // in http_server.cpp, with Boost

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace zavctl
