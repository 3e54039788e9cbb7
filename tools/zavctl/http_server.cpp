// Boost.Beast parses requests (with its header and body limits and its strict
// Content-Length) on Boost.Asio sockets; everything runs on one I/O thread,
// handlers on a small pool. The only file that includes Boost.
#include "http_server.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <atomic>
#include <cstdint>
#include <future>
#include <list>
#include <optional>
#include <thread>
#include <utility>

namespace zavctl {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr std::chrono::milliseconds kRefusalTime{2000}; // to send a refusal to a client that misbehaved
constexpr std::chrono::milliseconds kLingerTime{1000};  // to read what follows an answer before closing
constexpr std::size_t kLingerBytes = 64 * 1024;
constexpr std::chrono::milliseconds kAcceptRetry{100};  // after a failed accept (out of descriptors, say)

bool header_text_clean(const std::string &text) {
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

std::string seconds_text(std::chrono::milliseconds time) {
    return time.count() % 1000 == 0 ? std::to_string(time.count() / 1000) + " s" : std::to_string(time.count()) + " ms";
}

class Connection;

} // namespace

struct HttpServer::Impl {
    Impl(const HttpLimits &l, Handler h, Screen sc, Refusal r)
        : limits(l), handler(std::move(h)), screen(std::move(sc)), refusal(std::move(r)) {}

    void accept();
    void on_accept(const error_code &ec, tcp::socket socket);
    // The connection given up for a new one: the one waiting longest for its
    // request (or lingering after its answer), of this address when given.
    std::shared_ptr<Connection> oldest_waiting(const std::string *peer) const;

    HttpLimits limits;
    Handler handler;
    Screen screen;
    Refusal refusal;
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    tcp::acceptor acceptor{io};
    asio::steady_timer accept_retry{io};
    std::optional<asio::thread_pool> pool;
    std::thread thread;
    // Owned and touched by the I/O thread only, oldest first.
    std::list<std::shared_ptr<Connection>> connections;
    bool stopping = false;
};

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
public:
    enum class State { kReading, kHandling, kWriting, kStreaming, kLingering, kClosed };

    Connection(HttpServer::Impl &server, tcp::socket socket, std::string peer)
        : server_(server), socket_(std::move(socket)), deadline_(socket_.get_executor()),
          idle_(socket_.get_executor()), buffer_(server.limits.header_bytes + std::max(server.limits.body_bytes, server.limits.largest_body_bytes) + 1024),
          peer_(std::move(peer)) {}

    State state() const { return state_; }
    const std::string &peer() const { return peer_; }
    bool waiting() const { return state_ == State::kReading || state_ == State::kLingering; }

    void start(std::list<std::shared_ptr<Connection>>::iterator place) {
        place_ = place;
        arm_deadline(server_.limits.request_time);
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.limits.header_bytes));
        // The most any request may send; the screen sets this request's own.
        body_bytes_ = std::max(server_.limits.body_bytes, server_.limits.largest_body_bytes);
        parser_->body_limit(static_cast<std::uint64_t>(body_bytes_));
        http::async_read_header(socket_, buffer_, *parser_,
                                [self = shared_from_this()](const error_code &ec, std::size_t) { self->on_header(ec); });
    }

    // At once, whatever is under way; pending operations end with an error.
    void close() {
        if (state_ == State::kClosed) return;
        state_ = State::kClosed;
        ++deadline_generation_;
        ++idle_generation_;
        error_code ignored;
        deadline_.cancel();
        idle_.cancel();
        socket_.close(ignored);
        feed_.reset();
        server_.connections.erase(place_);
    }

    // An event stream: writes what its feed has, if it is not writing already.
    void pump() {
        if (state_ != State::kStreaming || writing_) return;
        std::string text;
        try {
            text = feed_->next();
        } catch (...) {
            return close();
        }
        if (!text.empty()) return write_stream(std::move(text));
        arm_idle();
    }

private:
    void arm_deadline(std::chrono::milliseconds time) {
        const uint64_t generation = ++deadline_generation_;
        deadline_.expires_after(time);
        deadline_.async_wait([self = shared_from_this(), generation](const error_code &ec) {
            if (!ec && generation == self->deadline_generation_) self->on_deadline();
        });
    }

    void on_deadline() {
        if (state_ == State::kReading) {
            // The read ends with operation_aborted; on_read_failed answers 408 when something came.
            timed_out_ = true;
            error_code ignored;
            socket_.cancel(ignored);
            return;
        }
        close();
    }

    void on_header(const error_code &ec) {
        if (state_ != State::kReading) return;
        if (ec) return on_read_failed(ec);
        const auto &request = parser_->get();
        if (request.find(http::field::transfer_encoding) != request.end()) {
            return refuse(411, "send the body with a Content-Length (0 when there is none)");
        }
        std::optional<HttpAnswer> early;
        std::size_t allowed = server_.limits.body_bytes;
        try {
            HttpAnswer answer;
            if (server_.screen(request_of(request), answer, allowed)) early = std::move(answer);
        } catch (...) {
            return close();
        }
        if (early) {
            head_only_ = request.method() == http::verb::head;
            return send(std::move(*early), server_.limits.answer_time);
        }
        body_bytes_ = std::min(allowed, body_bytes_);
        const auto length = parser_->content_length();
        if (length && *length > body_bytes_) return refuse(413, "the body is larger than " + std::to_string(body_bytes_) + " bytes");
        parser_->body_limit(static_cast<std::uint64_t>(body_bytes_));
        if (parser_->is_done()) return on_request();
        const auto expect = request.find(http::field::expect);
        if (expect != request.end() && beast::iequals(expect->value(), "100-continue")) {
            static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
            asio::async_write(socket_, asio::buffer(kContinue, sizeof kContinue - 1),
                              [self = shared_from_this()](const error_code &e, std::size_t) {
                                  if (self->state_ != State::kReading) return;
                                  if (e) return self->on_read_failed(e);
                                  self->read_body();
                              });
            return;
        }
        read_body();
    }

    void read_body() {
        http::async_read(socket_, buffer_, *parser_, [self = shared_from_this()](const error_code &ec, std::size_t) {
            if (self->state_ != State::kReading) return;
            if (ec) return self->on_read_failed(ec);
            self->on_request();
        });
    }

    void on_read_failed(const error_code &ec) {
        const HttpLimits &limits = server_.limits;
        if (timed_out_) {
            if (parser_->got_some() || buffer_.size() > 0) {
                return refuse(408, "the request did not arrive within " + seconds_text(limits.request_time));
            }
            return close();
        }
        if (ec == http::error::header_limit || (ec == http::error::buffer_overflow && !parser_->is_header_done())) {
            return refuse(431, "the request's line and headers are larger than " + std::to_string(limits.header_bytes) +
                                   " bytes");
        }
        if (ec == http::error::body_limit || ec == http::error::buffer_overflow) {
            return refuse(413, "the body is larger than " + std::to_string(body_bytes_) + " bytes");
        }
        if (ec == http::error::bad_content_length || ec == http::error::multiple_content_length) {
            return refuse(400, "the Content-Length must be the length of the body, in digits");
        }
        if (ec.category() == make_error_code(http::error::bad_target).category() && ec != http::error::end_of_stream &&
            ec != http::error::partial_message) {
            return refuse(400, "the request is not well-formed HTTP/1.1");
        }
        close(); // the client went away
    }

    void on_request() {
        state_ = State::kHandling;
        ++deadline_generation_; // handling takes what it takes; the handler bounds its own waits
        HttpRequest request = request_of(parser_->get());
        request.body = std::move(parser_->get().body());
        head_only_ = request.method == "HEAD";
        parser_.reset();

        // Handlers may block (a command waits for the bus): off the I/O thread.
        HttpServer::Impl &server = server_;
        asio::post(*server.pool, [self = shared_from_this(), &server, request = std::move(request)]() {
            std::optional<HttpAnswer> answer;
            try {
                answer = server.handler(request);
            } catch (...) {
                // Only want of memory gets here (the handler answers everything else): drop the connection.
            }
            asio::post(server.io, [self, answer = std::move(answer)]() mutable {
                if (self->state_ != State::kHandling) return;
                if (!answer) return self->close();
                self->send(std::move(*answer), self->server_.limits.answer_time);
            });
        });
    }

    HttpRequest request_of(const http::request<http::string_body> &message) const {
        HttpRequest request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        for (const auto &field : message) request.headers.emplace_back(field.name_string(), field.value());
        request.peer = peer_;
        return request;
    }

    void refuse(int status, const std::string &sentence) {
        std::optional<HttpAnswer> answer;
        try {
            answer = server_.refusal(status, sentence);
        } catch (...) {
        }
        if (!answer) return close();
        head_only_ = parser_ && parser_->is_header_done() && parser_->get().method() == http::verb::head;
        send(std::move(*answer), kRefusalTime);
    }

    void send(HttpAnswer answer, std::chrono::milliseconds time) {
        state_ = State::kWriting;
        answer_ = std::move(answer);
        if (head_only_) answer_.feed.reset();
        const unsigned status = answer_.status >= 100 && answer_.status <= 599 ? static_cast<unsigned>(answer_.status) : 500;
        head_ = "HTTP/1.1 " + std::to_string(status) + " " +
                std::string(http::obsolete_reason(http::int_to_status(status))) + "\r\n";
        for (const auto &[name, value] : answer_.headers) {
            // Nothing in an answer may start a header of its own.
            if (name.empty() || !header_text_clean(name) || !header_text_clean(value)) continue;
            head_ += name + ": " + value + "\r\n";
        }
        if (!answer_.feed) head_ += "Content-Length: " + std::to_string(answer_.body_size()) + "\r\n";
        head_ += "Connection: close\r\n\r\n";

        std::array<asio::const_buffer, 2> buffers = {asio::buffer(head_), asio::const_buffer()};
        if (!head_only_ && !answer_.feed) {
            buffers[1] = answer_.static_body != nullptr ? asio::const_buffer(answer_.static_body, answer_.static_size)
                                                        : asio::const_buffer(answer_.body.data(), answer_.body.size());
        }
        arm_deadline(time);
        asio::async_write(socket_, buffers, [self = shared_from_this()](const error_code &ec, std::size_t) {
            if (self->state_ != State::kWriting) return;
            if (ec) return self->close();
            if (self->answer_.feed) {
                self->state_ = State::kStreaming;
                self->feed_ = std::move(self->answer_.feed);
                ++self->deadline_generation_;
                return self->pump();
            }
            self->linger();
        });
    }

    // After an answer: stop sending and read what the client still sends
    // (for a while, up to a bound), so that closing does not reset the
    // connection before the client has read the answer.
    void linger() {
        state_ = State::kLingering;
        error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        arm_deadline(kLingerTime);
        drain();
    }

    void drain() {
        socket_.async_read_some(asio::buffer(scratch_), [self = shared_from_this()](const error_code &ec, std::size_t n) {
            if (self->state_ != State::kLingering) return;
            self->lingered_ += n;
            if (ec || self->lingered_ >= kLingerBytes) return self->close();
            self->drain();
        });
    }

    void write_stream(std::string text) {
        writing_ = true;
        stream_text_ = std::move(text);
        arm_deadline(server_.limits.answer_time);
        asio::async_write(socket_, asio::buffer(stream_text_), [self = shared_from_this()](const error_code &ec, std::size_t) {
            if (self->state_ != State::kStreaming) return;
            self->writing_ = false;
            ++self->deadline_generation_;
            if (ec) return self->close();
            self->pump();
        });
    }

    void arm_idle() {
        if (idle_armed_) return;
        idle_armed_ = true;
        const uint64_t generation = ++idle_generation_;
        idle_.expires_after(server_.limits.stream_idle);
        idle_.async_wait([self = shared_from_this(), generation](const error_code &ec) {
            if (ec || generation != self->idle_generation_) return;
            self->idle_armed_ = false;
            if (self->state_ != State::kStreaming || self->writing_) return;
            std::string text;
            try {
                text = self->feed_->next();
                if (text.empty()) text = self->feed_->idle();
            } catch (...) {
                return self->close();
            }
            self->write_stream(std::move(text));
        });
    }

    HttpServer::Impl &server_;
    tcp::socket socket_;
    asio::steady_timer deadline_;
    asio::steady_timer idle_;
    uint64_t deadline_generation_ = 0;
    uint64_t idle_generation_ = 0;
    bool idle_armed_ = false;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::string peer_;
    std::list<std::shared_ptr<Connection>>::iterator place_;
    State state_ = State::kReading;
    bool timed_out_ = false;
    bool head_only_ = false;
    std::size_t body_bytes_ = 0; // what this request may send
    HttpAnswer answer_;
    std::string head_;
    std::shared_ptr<EventFeed> feed_;
    std::string stream_text_;
    bool writing_ = false;
    std::array<char, 4096> scratch_{};
    std::size_t lingered_ = 0;
};

} // namespace

void HttpServer::Impl::accept() {
    acceptor.async_accept([this](const error_code &ec, tcp::socket socket) { on_accept(ec, std::move(socket)); });
}

std::shared_ptr<Connection> HttpServer::Impl::oldest_waiting(const std::string *peer) const {
    for (const auto &connection : connections) {
        if (connection->waiting() && (peer == nullptr || connection->peer() == *peer)) return connection;
    }
    return nullptr;
}

void HttpServer::Impl::on_accept(const error_code &ec, tcp::socket socket) {
    if (stopping || ec == asio::error::operation_aborted) return;
    if (ec) {
        // Out of descriptors, say: try again shortly rather than spin.
        accept_retry.expires_after(kAcceptRetry);
        accept_retry.async_wait([this](const error_code &e) {
            if (!e && !stopping) accept();
        });
        return;
    }
    error_code peer_ec;
    const tcp::endpoint remote = socket.remote_endpoint(peer_ec);
    if (peer_ec) return accept(); // gone already; the socket closes with it
    asio::ip::address address = remote.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    const std::string peer = address.to_string();

    // A client beyond loopback gets a share of the slots; on loopback every
    // client has the same address, and the longest waiting make room.
    if (!address.is_loopback()) {
        int held = 0;
        for (const auto &connection : connections) held += connection->peer() == peer ? 1 : 0;
        if (held >= limits.connections_per_address) {
            auto victim = oldest_waiting(&peer);
            if (!victim) return accept();
            victim->close();
        }
    }
    if (static_cast<int>(connections.size()) >= limits.connections) {
        auto victim = oldest_waiting(nullptr);
        if (!victim) return accept();
        victim->close();
    }
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    auto connection = std::make_shared<Connection>(*this, std::move(socket), peer);
    connections.push_back(connection);
    connection->start(std::prev(connections.end()));
    accept();
}

HttpServer::HttpServer(const HttpLimits &limits, Handler handler, Screen screen, Refusal refusal)
    : impl_(std::make_shared<Impl>(limits, std::move(handler), std::move(screen), std::move(refusal))) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::listen(const std::string &address, int port, std::string &error) {
    Impl &s = *impl_;
    error_code ec;
    tcp::resolver resolver(s.io);
    const auto found = resolver.resolve(address, std::to_string(port),
                                        tcp::resolver::numeric_service | tcp::resolver::passive, ec);
    if (ec || found.empty()) {
        error = "cannot find the address " + address + (ec ? " (" + ec.message() + ")" : std::string());
        return false;
    }
    const tcp::endpoint endpoint = found.begin()->endpoint();
    s.acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        // A second server on the same port must fail to bind, not share it.
#ifdef _WIN32
        const BOOL exclusive = TRUE;
        if (::setsockopt(s.acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                         reinterpret_cast<const char *>(&exclusive), sizeof exclusive) != 0) {
            ec = error_code(::WSAGetLastError(), asio::error::get_system_category());
        }
#else
        s.acceptor.set_option(tcp::acceptor::reuse_address(true), ec); // SO_REUSEADDR alone: a restart binds at once
#endif
    }
    if (!ec) s.acceptor.bind(endpoint, ec);
    if (!ec) s.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = ec.message();
        error_code ignored;
        s.acceptor.close(ignored);
        return false;
    }
    return true;
}

int HttpServer::port() const {
    error_code ec;
    const auto endpoint = impl_->acceptor.local_endpoint(ec);
    return ec ? -1 : endpoint.port();
}

void HttpServer::start() {
    Impl &s = *impl_;
    s.pool.emplace(static_cast<std::size_t>(s.limits.handler_threads));
    s.accept();
    s.thread = std::thread([&s] {
        for (;;) {
            try {
                s.io.run();
                return;
            } catch (...) {
                // A handler failed for want of memory: its connection is lost, the server goes on.
            }
        }
    });
}

void HttpServer::wake_streams() {
    Impl *s = impl_.get();
    asio::post(s->io, [s] {
        if (s->stopping) return;
        // pump() may close a connection, which leaves the list: walk a copy.
        const auto connections = s->connections;
        for (const auto &connection : connections) connection->pump();
    });
}

void HttpServer::stop() {
    Impl &s = *impl_;
    if (!s.thread.joinable()) {
        error_code ignored;
        s.acceptor.close(ignored);
        return;
    }
    std::promise<void> closed;
    asio::post(s.io, [&s, &closed] {
        s.stopping = true;
        error_code ignored;
        s.acceptor.close(ignored);
        s.accept_retry.cancel();
        const auto connections = s.connections;
        for (const auto &connection : connections) connection->close();
        s.work.reset();
        closed.set_value();
    });
    // The I/O thread runs nothing that blocks, so this is quick; the bound is a last resort.
    closed.get_future().wait_for(std::chrono::seconds(1));
    // Handlers under way return once the bus worker has stopped; queued ones never start.
    s.pool->stop();
    s.pool->join();
    s.io.stop();
    s.thread.join();
    s.connections.clear();
}

} // namespace zavctl
