// What passes between the socket layer (http_server.h) and the request
// handling (web_router.h): a whole request in, an answer out. Nothing here
// knows about sockets, so the handling can be driven without them (the fuzz
// target does).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zavctl {

struct HttpRequest {
    std::string method; // as sent, e.g. "GET"
    std::string target; // as sent: the path and the query, not decoded
    std::vector<std::pair<std::string, std::string>> headers; // as sent, in order
    std::string body;
    std::string peer; // the client's address, e.g. "127.0.0.1"

    // The value of the first header of that name (case-insensitive), or null.
    const std::string *header(const char *name) const;
    // How many headers of that name the request has.
    std::size_t count(const char *name) const;
};

// What an event stream sends after its head: text/event-stream events, read
// by the socket layer whenever it may write (on a wake-up, or when the line
// has been quiet for a while).
class EventFeed {
public:
    virtual ~EventFeed() = default;
    // The next events to send, or "" when nothing new has happened.
    virtual std::string next() = 0;
    // Sent when nothing new has happened for a while; it finds readers that have gone.
    virtual std::string idle() = 0;
};

struct HttpAnswer {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers; // Content-Type included
    std::string body;
    // Embedded files are sent from where they lie, without a copy.
    const unsigned char *static_body = nullptr;
    std::size_t static_size = 0;
    // An event stream: the head, then feed's events until either side stops.
    std::shared_ptr<EventFeed> feed;

    void set(const std::string &name, const std::string &value); // replaces any of that name
    const std::string *header(const char *name) const;
    std::size_t body_size() const { return static_body != nullptr ? static_size : body.size(); }
};

// ASCII case-insensitive comparison, as header names and tokens compare.
bool same_text(const std::string &a, const char *b);
std::string lower_ascii(std::string text);

} // namespace zavctl
