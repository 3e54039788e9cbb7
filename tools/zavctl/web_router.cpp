#include "web_router.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <utility>

#include "facts.h"

namespace zavctl {

namespace {

const char kPageSecurityPolicy[] =
    "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; base-uri 'none'; form-action 'none'";
// The sign-in pages: no script, an inline style, and a form that asks this server.
const char kSignInSecurityPolicy[] =
    "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'";

const char kSignInHead[] = R"(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<link rel="icon" href="data:,">
)";
const char kSignInStyle[] = R"(<style>
body { font: 16px system-ui, sans-serif; max-width: 34em; margin: 4em auto; padding: 0 1em; color: #222; }
input { font: inherit; width: 100%; box-sizing: border-box; padding: .4em; margin: .4em 0; }
button { font: inherit; padding: .4em 1.2em; }
.error { color: #b00020; }
</style>
)";

bool is_digits(const std::string &text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool is_ipv4_literal(const std::string &text) {
    int parts = 0;
    std::size_t i = 0;
    for (;;) {
        std::size_t j = i;
        int value = 0;
        while (j < text.size() && j - i < 4 && text[j] >= '0' && text[j] <= '9') value = value * 10 + (text[j++] - '0');
        if (j == i || j - i > 3 || value > 255) return false;
        ++parts;
        if (j == text.size()) break;
        if (text[j] != '.') return false;
        i = j + 1;
    }
    return parts == 4;
}

std::vector<std::string> split_path(const std::string &path) {
    std::vector<std::string> segments;
    std::size_t start = 1;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        segments.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) return segments;
        start = slash + 1;
    }
}

// The value of name=value in a query (as sent, not decoded), and whether it is there.
bool query_value(const std::string &query, const std::string &name, std::string &value) {
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(start, end - start);
        if (pair.compare(0, name.size() + 1, name + "=") == 0) {
            value = pair.substr(name.size() + 1);
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::string html_escape(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

HttpAnswer html(int status, std::string body) {
    HttpAnswer answer;
    answer.status = status;
    answer.headers.emplace_back("Content-Type", "text/html; charset=utf-8");
    answer.headers.emplace_back("Content-Security-Policy", kSignInSecurityPolicy);
    answer.body = std::move(body);
    return answer;
}

// The page for a browser without the token: where to find it, and a field to paste it.
HttpAnswer sign_in_page(const std::string &problem) {
    std::string page = kSignInHead;
    page += "<title>Sign in · zavctl</title>\n";
    page += kSignInStyle;
    page += "</head>\n<body>\n<h1>This dashboard needs its access token</h1>\n";
    if (!problem.empty()) page += "<p class=\"error\" role=\"alert\">" + html_escape(problem) + "</p>\n";
    page += "<p>It listens beyond this machine, so it asks for the token that <code>zavctl serve</code> printed "
            "with its address (<code>serving http://…/?token=…</code>). Open that address, or paste the token "
            "here.</p>\n"
            "<form method=\"get\" action=\"/\">\n"
            "<label>Access token <input name=\"token\" autocomplete=\"off\" spellcheck=\"false\" required></label>\n"
            "<button type=\"submit\">Open the dashboard</button>\n"
            "</form>\n</body>\n</html>\n";
    HttpAnswer answer = html(401, std::move(page));
    answer.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"zavctl\"");
    return answer;
}

} // namespace

// ---------------------------------------------------------------------------
// Access

Access::Access(const std::string &listen, int port, std::string token) : port_(port), token_(std::move(token)) {
    std::string name = lower_ascii(listen);
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    name_ = name.find(':') != std::string::npos ? "[" + name + "]" : name;
    loopback_ = name_ == "localhost" || name_ == "[::1]" || (is_ipv4_literal(name_) && name_.rfind("127.", 0) == 0);
    wildcard_ = name_ == "0.0.0.0" || name_ == "[::]";
}

std::string Access::url() const {
    return "http://" + name_ + ":" + std::to_string(port_) + "/" + (token_.empty() ? "" : "?token=" + token_);
}

std::string Access::example_host() const {
    return (wildcard_ ? std::string("127.0.0.1") : name_) + ":" + std::to_string(port_);
}

bool Access::host_allowed(const std::string &host_header) const {
    std::string host = lower_ascii(host_header);
    std::string port;
    const std::size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
        port = host.substr(colon + 1);
        host.resize(colon);
    }
    if (port.empty() ? port_ != 80 : port != std::to_string(port_)) return false;
    if (host == name_) return true;
    const bool local_name = host == "localhost" || host == "127.0.0.1" || host == "[::1]";
    if (loopback_ && local_name) return true;
    // Bound to every address: any address literal of this machine, but no other names.
    const bool literal = is_ipv4_literal(host) || (host.size() > 2 && host.front() == '[' && host.back() == ']');
    return wildcard_ && (literal || host == "localhost");
}

bool Access::token_matches(const std::string &given) const {
    if (token_.empty() || given.size() != token_.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < given.size(); ++i) difference |= static_cast<unsigned char>(given[i] ^ token_[i]);
    return difference == 0;
}

bool Access::authorized(const HttpRequest &request) const {
    if (token_.empty()) return true;
    for (const auto &[name, value] : request.headers) {
        if (same_text(name, "Authorization")) {
            const std::size_t space = value.find(' ');
            if (space != std::string::npos && same_text(value.substr(0, space), "Bearer")) {
                const std::size_t start = value.find_first_not_of(' ', space);
                if (start != std::string::npos && token_matches(value.substr(start))) return true;
            }
        } else if (same_text(name, "Cookie")) {
            std::size_t start = 0;
            while (start < value.size()) {
                std::size_t end = value.find(';', start);
                if (end == std::string::npos) end = value.size();
                std::string pair = value.substr(start, end - start);
                pair.erase(0, pair.find_first_not_of(' '));
                const std::string prefix = cookie_name() + "=";
                if (pair.compare(0, prefix.size(), prefix) == 0 && token_matches(pair.substr(prefix.size()))) return true;
                start = end + 1;
            }
        }
    }
    return false;
}

bool Access::token_acceptable(const std::string &token) {
    if (token.size() < kMinTokenLength) return false;
    return std::all_of(token.begin(), token.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '~' || c == '-';
    });
}

// ---------------------------------------------------------------------------
// Router

Router::Router(Access access) : access_(std::move(access)) {}

void Router::add(Route route, const std::string &pattern) {
    route.segments = split_path(pattern);
    routes_.push_back(std::move(route));
}

void Router::read(const std::string &pattern, RouteHandler handler) {
    Route route;
    route.handler = std::move(handler);
    add(std::move(route), pattern);
}

void Router::command(const std::string &pattern, std::vector<std::string> fields, RouteHandler handler,
                     std::size_t body_bytes) {
    Route route;
    route.command = true;
    route.fields = std::move(fields);
    route.handler = std::move(handler);
    route.body_bytes = body_bytes;
    add(std::move(route), pattern);
}

std::string Router::quote(const std::string &text, std::size_t max_bytes) {
    std::string out;
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        if (out.size() >= max_bytes) {
            out += "\xE2\x80\xA6"; // …
            break;
        }
        const unsigned char c = bytes[i];
        if (c < 0x20 || c == 0x7F) {
            static const char hex[] = "0123456789ABCDEF";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
            ++i;
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        // The length of a well-formed sequence starting here, or 0.
        std::size_t length = 0;
        uint32_t point = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            point = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            point = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            point = c & 0x07;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k >= size || (bytes[i + k] & 0xC0) != 0x80) {
                length = 0;
                break;
            }
            point = point << 6 | (bytes[i + k] & 0x3F);
        }
        const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
        const bool surrogate = point >= 0xD800 && point <= 0xDFFF;
        if (length == 0 || overlong || surrogate || point > 0x10FFFF) {
            out += "\xEF\xBF\xBD"; // U+FFFD for one bad byte
            ++i;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

HttpAnswer Router::json(int status, const Json &body) {
    HttpAnswer answer;
    answer.status = status;
    answer.headers.emplace_back("Content-Type", "application/json");
    // Strings reaching here are quoted, so replacing never happens; it is the last guard.
    answer.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
    return answer;
}

HttpAnswer Router::error(int status, const std::string &sentence, const std::vector<std::string> &flags, int servo) {
    Json body = {{"error", quote(sentence, 2000)}, {"flags", flags}};
    if (servo >= 0) body["servo"] = servo;
    return json(status, body);
}

HttpAnswer Router::handle(const HttpRequest &request) const {
    HttpAnswer answer;
    try {
        answer = route(request);
    } catch (...) {
        // What went wrong stays here: the client learns only that it did.
        answer = error(500, "the server failed while answering this request");
    }
    finish(answer);
    return answer;
}

HttpAnswer Router::refusal(int status, const std::string &sentence) {
    HttpAnswer answer = error(status, sentence);
    finish(answer);
    return answer;
}

void Router::finish(HttpAnswer &answer) {
    const auto keep_or_set = [&answer](const char *name, const char *value) {
        if (answer.header(name) == nullptr) answer.headers.emplace_back(name, value);
    };
    keep_or_set("X-Content-Type-Options", "nosniff");
    keep_or_set("X-Frame-Options", "DENY");
    keep_or_set("Content-Security-Policy", kPageSecurityPolicy);
    keep_or_set("Referrer-Policy", "no-referrer");
    keep_or_set("Cache-Control", "no-store");
}

// Requests that a page of another site sent: it may not read the bus, nor
// hold the server's connections and streams.
bool Router::foreign(const HttpRequest &request, const std::string &host, HttpAnswer &refusal) const {
    const std::string *origin = request.header("Origin");
    if (origin != nullptr && lower_ascii(*origin) != "http://" + lower_ascii(host)) {
        refusal = error(403, "only this dashboard's own page may send requests here, not " + quote(*origin));
        return true;
    }
    const std::string *site = request.header("Sec-Fetch-Site");
    if (site != nullptr && !same_text(*site, "same-origin") && !same_text(*site, "none")) {
        // A link from elsewhere may open the dashboard; nothing else from another site is served.
        const std::string *mode = request.header("Sec-Fetch-Mode");
        const bool read = request.method == "GET" || request.method == "HEAD";
        if (!read || mode == nullptr || !same_text(*mode, "navigate")) {
            refusal = error(403, "requests from pages of other sites are refused; open the dashboard itself");
            return true;
        }
    }
    return false;
}

HttpAnswer Router::sign_in(const std::string &token) const {
    if (!access_.token_matches(token)) {
        return sign_in_page("That is not this server's token. It changes each time zavctl serve starts, unless "
                            "given with --token or ZAVCTL_TOKEN.");
    }
    // The page refreshes itself to the dashboard: a navigation of this site's
    // own, which carries the SameSite=Strict cookie even when a link from
    // another site led here.
    std::string page = kSignInHead;
    page += "<meta http-equiv=\"refresh\" content=\"0; url=/\">\n<title>Signed in · zavctl</title>\n";
    page += kSignInStyle;
    page += "</head>\n<body>\n<p>Signed in. <a href=\"/\">Open the dashboard</a>.</p>\n</body>\n</html>\n";
    HttpAnswer answer = html(200, std::move(page));
    answer.headers.emplace_back("Set-Cookie", access_.cookie_name() + "=" + access_.token() +
                                                  "; Path=/; HttpOnly; SameSite=Strict");
    return answer;
}

HttpAnswer Router::route(const HttpRequest &request) const {
    HttpAnswer early;
    Admitted admitted;
    if (!admit(request, admitted, early)) return early;
    const Route &r = *admitted.route;
    RouteCall call{request, admitted.path, admitted.servo, Json::object()};
    if (r.command) {
        if (*request.header("Content-Length") != std::to_string(request.body.size())) {
            return error(400, "the Content-Length must be the length of the body, in digits");
        }
        call.body = request.body.empty() ? Json::object() : Json::parse(request.body, nullptr, false);
        if (call.body.is_discarded()) return error(400, "the body is not valid JSON");
        if (!call.body.is_object()) return error(400, "the body must be a JSON object");
        for (const auto &item : call.body.items()) {
            if (std::find(r.fields.begin(), r.fields.end(), item.key()) != r.fields.end()) continue;
            std::string known;
            for (const std::string &f : r.fields) known += (known.empty() ? "" : ", ") + f;
            return error(400, "unknown field '" + quote(item.key(), 40) + "' (" +
                                  (known.empty() ? "this command takes none" : "this command takes " + known) + ")");
        }
    }
    return r.handler(call);
}

bool Router::screen(const HttpRequest &head, HttpAnswer &early) const {
    std::size_t body_bytes = 0;
    return screen(head, early, body_bytes);
}

bool Router::screen(const HttpRequest &head, HttpAnswer &early, std::size_t &body_bytes) const {
    try {
        Admitted admitted;
        if (admit(head, admitted, early)) {
            if (admitted.route != nullptr && admitted.route->body_bytes > 0) body_bytes = admitted.route->body_bytes;
            return false;
        }
    } catch (...) {
        early = error(500, "the server failed while answering this request");
    }
    finish(early);
    return true;
}

bool Router::admit(const HttpRequest &request, Admitted &admitted, HttpAnswer &early) const {
    const std::string &target = request.target;
    if (target.empty() || target.front() != '/') {
        early = error(400, "the request target must be a path, such as /api/servos");
        return false;
    }
    const std::size_t mark = target.find('?');
    const std::string path = target.substr(0, mark);
    const std::string query = mark == std::string::npos ? std::string() : target.substr(mark + 1);

    const std::string *host = request.header("Host");
    if (host == nullptr || request.count("Host") != 1 || !access_.host_allowed(*host)) {
        early = error(403, "this server answers only requests addressed to it (Host: " + access_.example_host() + ")");
        return false;
    }
    if (foreign(request, *host, early)) return false;

    const bool read = request.method == "GET" || request.method == "HEAD";
    const bool page = path == "/" || (path.size() > 5 && path.compare(path.size() - 5, 5, ".html") == 0);
    if (access_.token_required()) {
        std::string given;
        if (read && page && query_value(query, "token", given)) {
            early = sign_in(given);
            return false;
        }
        if (!access_.authorized(request)) {
            if (read && page) {
                early = sign_in_page("");
            } else {
                early = error(401, "this server needs its access token: send Authorization: Bearer TOKEN, or open "
                                   "the address that zavctl serve printed");
                early.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"zavctl\"");
            }
            return false;
        }
    }

    if (!read && request.method != "POST") {
        early = error(405, quote(request.method, 20) + " is not served here: reads are GET, commands are POST");
        early.headers.emplace_back("Allow", "GET, HEAD, POST");
        return false;
    }
    const std::vector<std::string> segments = split_path(path);
    const Route *found = nullptr;
    bool path_known = false;
    for (const Route &r : routes_) {
        if (r.segments.size() != segments.size()) continue;
        bool match = true;
        for (std::size_t i = 0; i < segments.size() && match; ++i) {
            match = r.segments[i] == "{servo}" ? !segments[i].empty() : r.segments[i] == segments[i];
        }
        if (!match) continue;
        path_known = true;
        if (r.command == !read) {
            found = &r;
            break;
        }
    }
    if (!path_known) {
        early = error(404, "nothing is served at " + quote(path));
        return false;
    }
    if (found == nullptr) {
        early = error(405, quote(path) + " takes " + (read ? "POST" : "GET"));
        early.headers.emplace_back("Allow", read ? "POST" : "GET, HEAD");
        return false;
    }

    if (found->command) {
        const std::string *type = request.header("Content-Type");
        const std::string media = type == nullptr ? std::string() : lower_ascii(*type);
        if (media.compare(0, 16, "application/json") != 0 ||
            (media.size() > 16 && media[16] != ';' && media[16] != ' ')) {
            early = error(415, "commands take a JSON body (Content-Type: application/json)");
            return false;
        }
        // A body without a length would be read until the client stops sending, however long.
        const std::string *length = request.header("Content-Length");
        if (request.count("Transfer-Encoding") != 0 || length == nullptr) {
            early = error(411, "send the body with a Content-Length (0 when there is none)");
            return false;
        }
        if (request.count("Content-Length") != 1 || !is_digits(*length)) {
            early = error(400, "the Content-Length must be the length of the body, in digits");
            return false;
        }
    }
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (found->segments[i] != "{servo}") continue;
        const std::string &text = segments[i];
        if (!is_digits(text) || text.size() > 2 || std::stoi(text) > kIdMax) {
            early = error(404, "there is no servo " + quote(text, 20) + ": servo ids are " + range_text(kIdRange));
            return false;
        }
        admitted.servo = std::stoi(text);
    }
    admitted.route = found;
    admitted.path = path;
    return true;
}

} // namespace zavctl
