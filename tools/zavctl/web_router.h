// The request handling of `zavctl serve`, apart from the sockets: a table of
// routes, and the checks every request passes before its route runs, in this
// order:
//   1. the target is a path; the Host names this server (403);
//   2. no other site's page sent it: a foreign Origin, or Sec-Fetch-Site of
//      another site on anything but a navigation to a page (403);
//   3. beyond loopback, the access token: a Bearer header or the cookie the
//      sign-in page sets (401; pages get the sign-in page itself);
//   4. a route for the path (404) and the method (405, with Allow);
//   5. commands: a JSON body (415) with a Content-Length (411), an object with
//      only the route's fields (400); {servo} in the path: a servo id (404).
// Then the route's handler runs. Nothing that goes wrong in it ends the
// process: an exception becomes a 500 with a sentence and no internal text.
// Every error answer is {"error": sentence, "flags": [...]}, valid UTF-8
// whatever bytes the request held.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "http_message.h"

namespace zavctl {

using Json = nlohmann::ordered_json;

// Who may use the server: the Host names that reach it, and the access token.
class Access {
public:
    // listen: the address served (IPv6 with or without brackets); token: ""
    // for none, which only a loopback address allows.
    Access(const std::string &listen, int port, std::string token);

    bool loopback() const { return loopback_; }
    bool token_required() const { return !token_.empty(); }
    const std::string &token() const { return token_; }
    // The address to open, with ?token=... when one is required.
    std::string url() const;
    // What a Host header should say, for messages.
    std::string example_host() const;

    bool host_allowed(const std::string &host_header) const;
    bool token_matches(const std::string &given) const; // in constant time
    // A Bearer header or the sign-in cookie with the token (always true without one).
    bool authorized(const HttpRequest &request) const;
    // Per port: cookies do not tell ports of one host apart.
    std::string cookie_name() const { return "zavctl_token_" + std::to_string(port_); }

    // A user's token must be this long and URL-safe: [A-Za-z0-9._~-].
    static constexpr std::size_t kMinTokenLength = 16;
    static bool token_acceptable(const std::string &token);

private:
    int port_;
    std::string name_; // as it appears in a URL: IPv6 in brackets
    bool loopback_ = false;
    bool wildcard_ = false;
    std::string token_;
};

// What a route's handler gets.
struct RouteCall {
    const HttpRequest &request;
    std::string path;       // the target without its query
    int servo = -1;         // the {servo} segment, when the pattern has one
    Json body;              // commands: the body's object, holding only the route's fields
};

using RouteHandler = std::function<HttpAnswer(RouteCall &)>;

class Router {
public:
    explicit Router(Access access);

    // A read: GET, and HEAD answered as GET without the body. Patterns are
    // paths whose segments are literal or {servo} (a servo id, kIdRange).
    void read(const std::string &pattern, RouteHandler handler);
    // A command: POST with a JSON object body that may hold only these fields,
    // of at most body_bytes (0: the server's limit for every request).
    void command(const std::string &pattern, std::vector<std::string> fields, RouteHandler handler,
                 std::size_t body_bytes = 0);

    // The answer to any request. Never throws but for want of memory.
    HttpAnswer handle(const HttpRequest &request) const;
    // The checks of a request's head, before its body is read: true, with
    // the answer, when the request ends there (refused, or signing in). For a
    // request it lets through, body_bytes becomes its route's limit where the
    // route has one of its own.
    bool screen(const HttpRequest &head, HttpAnswer &early, std::size_t &body_bytes) const;
    bool screen(const HttpRequest &head, HttpAnswer &early) const;

    const Access &access() const { return access_; }

    // The answers every route and the socket layer give.
    static HttpAnswer json(int status, const Json &body);
    static HttpAnswer error(int status, const std::string &sentence, const std::vector<std::string> &flags = {},
                            int servo = -1);
    // An error with the headers every answer carries, for requests that never reached a router.
    static HttpAnswer refusal(int status, const std::string &sentence);
    // Text from a request, fit to quote in an answer: valid UTF-8 (invalid
    // bytes become U+FFFD), control characters escaped, at most max_bytes.
    static std::string quote(const std::string &text, std::size_t max_bytes = 120);

private:
    struct Route {
        bool command = false;
        std::vector<std::string> segments;
        std::vector<std::string> fields;
        RouteHandler handler;
        std::size_t body_bytes = 0;
    };

    struct Admitted {
        const Route *route = nullptr;
        std::string path;
        int servo = -1;
    };

    void add(Route route, const std::string &pattern);
    // Checks 1 to 5 but the body's: false, with the early answer, when the request ends there.
    bool admit(const HttpRequest &request, Admitted &admitted, HttpAnswer &early) const;
    HttpAnswer route(const HttpRequest &request) const;
    // True, with the refusal, when another site's page sent the request.
    bool foreign(const HttpRequest &request, const std::string &host, HttpAnswer &refusal) const;
    HttpAnswer sign_in(const std::string &token) const;
    static void finish(HttpAnswer &answer);

    Access access_;
    std::vector<Route> routes_;
};

} // namespace zavctl
