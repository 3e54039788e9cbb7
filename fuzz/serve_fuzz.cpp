// Fuzz target: whole HTTP requests through the real routing and handlers of
// `zavctl serve` (web_router.h, dashboard_routes.h), as the socket layer hands
// them over, on the library's simulated bus of six servos (sim:0-5). One
// dashboard serves loopback without a token, another one beyond loopback
// with a token.
//
// A motion that a request starts (/api/motion/play, record) is stopped after
// it, so that every request meets an idle bus.
//
// An input is a request as text, without the socket layer's framing:
//   [!]METHOD TARGET\n     "!" in front: to the dashboard with the token
//   Name: value\n          headers, up to an empty line
//   \n
//   body                   the rest
// Besides what AddressSanitizer and UndefinedBehaviorSanitizer catch, every
// answer is checked for what a client relies on: a status the interface
// documents (no 500: a handler that throws is a fault), JSON errors of one
// shape in valid UTF-8, no header that could start another, the same answer
// from the head's screening as from the whole request, and nothing served
// beyond the token or to another site's page.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dashboard_routes.h"
#include "web_router.h"
#include "zavlib.h"

namespace {

#define REQUIRE(condition, answer)                                                                            \
    do {                                                                                                      \
        if (!(condition)) {                                                                                   \
            std::fprintf(stderr, "serve_fuzz: check failed at line %d: %s\nanswer %d: %s\n", __LINE__,         \
                         #condition, (answer).status, (answer).body.c_str());                                 \
            std::abort();                                                                                     \
        }                                                                                                     \
    } while (0)

const char kToken[] = "0123456789abcdef0123456789abcdef";
const int kPort = 8080;

// A simulated bus of six servos inside the library (sim:), its replies at once.
struct Bus {
    PortHandle port = nullptr;

    explicit Bus(const char *name) : port(ZAV_OpenPort(name, 1000000)) {
        if (port == nullptr) {
            std::fprintf(stderr, "serve_fuzz: cannot open the simulated bus %s\n", name);
            std::abort();
        }
        // Replies come at once; a scan then waits about 1 ms, not 20, for each absent id.
        ZAV_SetTimeOutOffset(port, 1);
    }
    ~Bus() { ZAV_ClosePort(port); }
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;
};

// The two servers, made once: their bus workers run for the whole session.
struct Servers {
    struct EchoCancel {
        EchoCancel() { ZAV_SetEchoCancel(1); }
    } echo_cancel;
    // Two names, two buses.
    Bus loopback_bus{"sim:0-5"};
    Bus token_bus{"sim:0-5?echo=1"};
    zavctl::Dashboard loopback{loopback_bus.port, ZAV_DEFAULT_BAUD, 20, zavctl::Access("127.0.0.1", kPort, "")};
    zavctl::Dashboard with_token{token_bus.port, ZAV_DEFAULT_BAUD, 20, zavctl::Access("0.0.0.0", kPort, kToken)};
};

Servers &servers() {
    static Servers s;
    return s;
}

bool valid_utf8(const std::string &text) {
    try {
        (void)nlohmann::json(text).dump(); // the strict default refuses invalid UTF-8
        return true;
    } catch (const nlohmann::json::exception &) {
        return false;
    }
}

bool contains(const zavctl::HttpRequest &request, const std::string &text) {
    if (request.target.find(text) != std::string::npos) return true;
    for (const auto &h : request.headers) {
        if (h.second.find(text) != std::string::npos) return true;
    }
    return false;
}

void check(const zavctl::HttpRequest &request, const zavctl::HttpAnswer &answer, bool with_token) {
    static const int kStatuses[] = {200, 400, 401, 403, 404, 405, 409, 411, 413, 415, 503};
    bool known = false;
    for (int s : kStatuses) known = known || s == answer.status;
    REQUIRE(known, answer);

    for (const auto &[name, value] : answer.headers) {
        REQUIRE(!name.empty() && name.find_first_of("\r\n:") == std::string::npos, answer);
        REQUIRE(value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos, answer);
    }
    const std::string *type = answer.header("Content-Type");
    REQUIRE(type != nullptr || answer.feed, answer);
    if (type != nullptr && *type == "application/json") {
        const auto body = nlohmann::json::parse(answer.body, nullptr, false);
        REQUIRE(!body.is_discarded(), answer); // JSON, and valid UTF-8
        if (answer.status >= 400) {
            REQUIRE(body.is_object() && body.contains("error") && body["error"].is_string() &&
                        !body["error"].get<std::string>().empty() && body.contains("flags") && body["flags"].is_array(),
                    answer);
        }
    }
    if (answer.status < 300) {
        // Nothing for another site's page, and nothing beyond loopback without the token.
        const std::string *origin = request.header("Origin");
        REQUIRE(origin == nullptr || zavctl::lower_ascii(*origin) == "http://" + zavctl::lower_ascii(*request.header("Host")),
                answer);
        REQUIRE(!with_token || contains(request, kToken), answer);
    }
    if (answer.feed) {
        REQUIRE(answer.status == 200, answer);
        const std::string first = answer.feed->next();
        REQUIRE(first.compare(0, 13, "retry: 1000\n\n") == 0 && valid_utf8(first), answer);
    }
}

// The request in the input; false when it has no request line.
bool parse(const uint8_t *data, size_t size, zavctl::HttpRequest &request, bool &with_token) {
    std::string text(reinterpret_cast<const char *>(data), size);
    with_token = !text.empty() && text[0] == '!';
    if (with_token) text.erase(0, 1);
    std::size_t end = text.find('\n');
    if (end == std::string::npos) return false;
    const std::string line = text.substr(0, end);
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) return false;
    request.method = line.substr(0, space);
    request.target = line.substr(space + 1);
    std::size_t start = end + 1;
    for (;;) {
        end = text.find('\n', start);
        if (end == std::string::npos || end == start) break;
        const std::string header = text.substr(start, end - start);
        const std::size_t colon = header.find(':');
        if (colon != std::string::npos) {
            const std::size_t value = header.find_first_not_of(' ', colon + 1);
            request.headers.emplace_back(header.substr(0, colon),
                                         value == std::string::npos ? std::string() : header.substr(value));
        }
        start = end + 1;
    }
    if (end != std::string::npos) request.body = text.substr(end + 1);
    request.peer = with_token ? "192.0.2.7" : "127.0.0.1";
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    zavctl::HttpRequest request;
    bool with_token = false;
    if (!parse(data, size, request, with_token)) return 0;
    zavctl::Dashboard &dashboard = with_token ? servers().with_token : servers().loopback;

    zavctl::HttpRequest head = request;
    head.body.clear();
    zavctl::HttpAnswer early;
    const bool screened = dashboard.screen(head, early);
    const zavctl::HttpAnswer answer = dashboard.handle(request);
    check(request, answer, with_token);
    if (screened) {
        // What the head decided, the whole request gets.
        REQUIRE(early.status == answer.status && early.body == answer.body, answer);
    }
    // A motion this request started ends here, so that the next request meets an idle bus.
    REQUIRE(dashboard.settle(std::chrono::seconds(10)), answer);
    return 0;
}
