// The client side of Telnet with the COM-PORT-OPTION (the serial-port control
// of `rfc2217://` bridges), as pure code: bytes in, bytes out, no I/O, no heap.
// The network device feeds it what the socket delivered and sends what it
// queues; the fuzz target drives it the same way.
//
// What the client asks for: BINARY both ways (every byte value is data on this
// bus, a lone CR included), SUPPRESS-GO-AHEAD both ways, and COM-PORT-OPTION
// on its side. Anything else the server proposes is refused. Option states
// change only on a real change, so the two sides never echo one another into
// a loop (the rule of RFC 1143).
#pragma once

#include <cstddef>
#include <cstdint>

namespace telnet {

// Telnet commands.
constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;

// Telnet options.
constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kSuppressGoAhead = 3;
constexpr std::uint8_t kComPortOption = 44;

// COM-PORT-OPTION commands from client to server; the server answers a command
// with the same number plus kServerOffset and the value in force.
constexpr std::uint8_t kSetBaudrate = 1;
constexpr std::uint8_t kSetDatasize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopsize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kPurgeData = 12;
constexpr std::uint8_t kServerOffset = 100;

// Values of those commands.
constexpr std::uint8_t kDataBits = 8;
constexpr std::uint8_t kParityEven = 3;
constexpr std::uint8_t kStopBitsOne = 1;
constexpr std::uint8_t kControlNoFlowControl = 1;
constexpr std::uint8_t kControlDtrOn = 8;
constexpr std::uint8_t kControlRtsOff = 12;
constexpr std::uint8_t kPurgeReceive = 1; // the server's receive buffer (bytes from the line)
constexpr std::uint8_t kPurgeBoth = 3;

// Copies data into out with every 0xFF doubled, as Telnet carries it. Never
// splits a pair: stops when the next byte does not fit. Returns the bytes
// written; *consumed receives the data bytes taken.
std::size_t escape(const std::uint8_t *data, std::size_t count, std::uint8_t *out, std::size_t capacity,
                   std::size_t *consumed);

// The line settings a COM-PORT-OPTION server acknowledged, by command.
enum class Setting { kBaudrate, kDatasize, kParity, kStopsize, kPurge, kCount };

class Client {
public:
    // Bytes queued for the server: negotiation answers and commands.
    static constexpr std::size_t kOutputCapacity = 256;
    // Subnegotiation bytes kept; a longer one is read to its end and ignored.
    static constexpr std::size_t kMaxSubnegotiation = 16;

    // Queues the client's opening proposals.
    void start();

    // Queues the bus's line settings: baud, 8 data bits, even parity, one stop
    // bit, no flow control, DTR on, RTS off. The modem-line commands get no
    // answer from some servers (ser2net on a pseudo-terminal), so only the four
    // data settings are looked for (settings_acknowledged).
    void request_line_settings(std::uint32_t baud);
    // Queues a rate change; rate_acknowledged() says when the server answered.
    void request_baudrate(std::uint32_t baud);
    // Queues a PURGE-DATA (kPurgeReceive or kPurgeBoth); purges not yet sent
    // merge. purge_acknowledged() says when the server answered.
    void request_purge(std::uint8_t what);

    // Takes received bytes: data bytes go to data (at most capacity), Telnet
    // commands update the state and may queue answers. Stops before a data byte
    // that does not fit. Returns the received bytes consumed; *data_count
    // receives the data bytes written.
    std::size_t receive(const std::uint8_t *in, std::size_t count, std::uint8_t *data, std::size_t capacity,
                        std::size_t *data_count);

    // The queued bytes for the server, a pending purge first.
    // take_output copies at most capacity of them out and removes them.
    std::size_t output_size() const;
    std::size_t take_output(std::uint8_t *out, std::size_t capacity);

    // The server agreed to COM-PORT-OPTION (it said DO), or refused it.
    bool com_port_accepted() const { return local_[kLocalComPort].enabled; }
    bool com_port_refused() const { return refused_com_port_; }
    // The four data settings of the last request_line_settings were all
    // answered, with the values asked for; refused when an answer differs.
    bool settings_acknowledged() const;
    bool settings_refused() const { return refused_settings_ != 0; }
    // The server answered the last rate request; *baud receives its rate.
    bool rate_acknowledged(std::uint32_t *baud) const;
    bool purge_acknowledged() const;
    bool purge_pending() const { return pending_purge_ != 0; }
    // Answers dropped because the output queue was full (a flood of proposals).
    std::size_t dropped_output() const { return dropped_output_; }

private:
    enum class State : std::uint8_t { kData, kAfterIac, kOption, kSub, kSubIac };
    struct OptionState {
        bool enabled;
        bool requested; // asked for, no answer yet
    };
    enum Local { kLocalBinary, kLocalSga, kLocalComPort, kLocalCount };
    enum Remote { kRemoteBinary, kRemoteSga, kRemoteCount };

    void queue(const std::uint8_t *bytes, std::size_t count);
    void queue_verb(std::uint8_t verb, std::uint8_t option);
    void queue_com_port(std::uint8_t command, const std::uint8_t *value, std::size_t length);
    void after_iac(std::uint8_t command);
    void on_option(std::uint8_t verb, std::uint8_t option);
    void on_subnegotiation();

    State state_ = State::kData;
    std::uint8_t verb_ = 0;
    std::uint8_t sub_[kMaxSubnegotiation] = {};
    std::size_t sub_length_ = 0;
    bool sub_overlong_ = false;

    OptionState local_[kLocalCount] = {};
    OptionState remote_[kRemoteCount] = {};
    bool refused_com_port_ = false;

    std::uint32_t answered_ = 0;  // bit per Setting, since its last request
    std::uint32_t awaited_ = 0;   // bit per Setting requested
    std::uint32_t refused_settings_ = 0; // bit per Setting answered with another value
    std::uint32_t answered_baud_ = 0;
    std::uint8_t pending_purge_ = 0;

    std::uint8_t output_[kOutputCapacity] = {};
    std::size_t output_length_ = 0;
    std::size_t dropped_output_ = 0;
};

} // namespace telnet
