// The Telnet/COM-PORT-OPTION codec of rfc2217:// on bytes alone: what the
// server sends in, what the client answers and which data come out, however
// the stream is cut into reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "telnet_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;
using telnet::Client;

constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t COM = 44;

Bytes output(Client &client) {
    Bytes out(client.output_size());
    out.resize(client.take_output(out.data(), out.size()));
    return out;
}

// Feeds the stream in pieces of at most piece bytes, with room for at most
// room data bytes per call; returns the data.
Bytes feed(Client &client, const Bytes &in, std::size_t piece, std::size_t room = 64) {
    Bytes data;
    std::size_t at = 0;
    while (at < in.size()) {
        const std::size_t n = std::min(piece, in.size() - at);
        std::size_t used_total = 0;
        while (used_total < n) {
            uint8_t out[64];
            std::size_t written = 0;
            const std::size_t used = client.receive(in.data() + at + used_total, n - used_total, out, room, &written);
            data.insert(data.end(), out, out + written);
            if (used == 0 && written == 0) ADD_FAILURE() << "no progress";
            if (used == 0 && written == 0) return data;
            used_total += used;
        }
        at += n;
    }
    return data;
}

Bytes com_port_answer(uint8_t command, Bytes value) {
    Bytes b = {IAC, SB, COM, static_cast<uint8_t>(command + 100)};
    for (uint8_t v : value) {
        b.push_back(v);
        if (v == IAC) b.push_back(IAC);
    }
    b.insert(b.end(), {IAC, SE});
    return b;
}

TEST(TelnetCodec, EscapeDoublesIacAndNeverSplitsAPair) {
    const Bytes data = {0x01, 0xFF, 0x02, 0xFF};
    uint8_t out[16];
    std::size_t consumed = 0;
    ASSERT_EQ(telnet::escape(data.data(), data.size(), out, sizeof out, &consumed), 6u);
    EXPECT_EQ(Bytes(out, out + 6), (Bytes{0x01, 0xFF, 0xFF, 0x02, 0xFF, 0xFF}));
    EXPECT_EQ(consumed, 4u);
    // Room for two bytes: 0x01 fits, the pair for 0xFF does not.
    EXPECT_EQ(telnet::escape(data.data(), data.size(), out, 2, &consumed), 1u);
    EXPECT_EQ(consumed, 1u);
}

TEST(TelnetCodec, ServerStreamsGiveTheSameDataAndStateHoweverTheyAreCut) {
    struct Case {
        const char *what;
        Bytes in;
        Bytes data;
        Bytes answer; // what the client queues in reply (after start())
        bool com_port;
    };
    const Case cases[] = {
        {"plain data", {1, 2, 3}, {1, 2, 3}, {}, false},
        {"doubled IAC is one data byte", {1, IAC, IAC, 2}, {1, 0xFF, 2}, {}, false},
        {"what ser2net opens with",
         {IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 1, IAC, DONT, 1, IAC, DO, 0, IAC, WILL, 0, IAC, DO, COM},
         {},
         {IAC, DONT, 1},
         true},
        {"unknown options refused", {IAC, DO, 24, IAC, WILL, 31}, {}, {IAC, WONT, 24, IAC, DONT, 31}, false},
        {"COM-PORT-OPTION refused", {IAC, DONT, COM}, {}, {}, false},
        {"a second DO gets no second WILL", {IAC, DO, COM, IAC, DO, COM}, {}, {}, true},
        {"DONT after DO is answered WONT", {IAC, DO, COM, IAC, DONT, COM}, {}, {IAC, WONT, COM}, false},
        {"NOP, go-ahead and a stray SE carry nothing", {7, IAC, 241, IAC, 249, IAC, SE, 8}, {7, 8}, {}, false},
        {"a subnegotiation between data", {5, IAC, SB, COM, 107, 0x30, IAC, SE, 6}, {5, 6}, {}, false},
        {"an overlong subnegotiation is read to its end",
         [] {
             Bytes b = {9, IAC, SB, COM, 101};
             b.insert(b.end(), 100, 0x41);
             b.insert(b.end(), {IAC, SE, 10});
             return b;
         }(),
         {9, 10},
         {},
         false},
        {"a command inside a subnegotiation ends it", {IAC, SB, COM, 101, 0, IAC, DO, COM, 11}, {11}, {}, true},
    };
    for (const Case &c : cases) {
        for (std::size_t piece : {c.in.size(), std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
            for (std::size_t room : {std::size_t{64}, std::size_t{1}}) {
                Client client;
                client.start();
                output(client); // the opening proposals
                EXPECT_EQ(feed(client, c.in, piece, room), c.data) << c.what << ", pieces of " << piece;
                EXPECT_EQ(output(client), c.answer) << c.what << ", pieces of " << piece;
                EXPECT_EQ(client.com_port_accepted(), c.com_port) << c.what;
            }
        }
    }
}

TEST(TelnetCodec, OpeningProposalsAndLineSettings) {
    Client client;
    client.start();
    EXPECT_EQ(output(client),
              (Bytes{IAC, WILL, 0, IAC, WILL, 3, IAC, WILL, COM, IAC, DO, 0, IAC, DO, 3}));
    client.request_line_settings(115200);
    const Bytes expected = [] {
        Bytes b;
        auto command = [&b](uint8_t c, Bytes v) {
            b.insert(b.end(), {IAC, SB, COM, c});
            b.insert(b.end(), v.begin(), v.end());
            b.insert(b.end(), {IAC, SE});
        };
        command(1, {0x00, 0x01, 0xC2, 0x00});
        command(2, {8});
        command(3, {3}); // even
        command(4, {1});
        command(5, {1});  // no flow control
        command(5, {8});  // DTR on
        command(5, {12}); // RTS off
        return b;
    }();
    EXPECT_EQ(output(client), expected);
}

TEST(TelnetCodec, SettingsCountOnlyWhenAllFourAreAnsweredAsAsked) {
    struct Case {
        const char *what;
        Bytes answers;
        bool acknowledged;
        bool refused;
    };
    const Bytes baud = com_port_answer(1, {0x00, 0x01, 0xC2, 0x00});
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes b;
        for (const Bytes &p : parts) b.insert(b.end(), p.begin(), p.end());
        return b;
    };
    const Case cases[] = {
        {"all four", cat({baud, com_port_answer(2, {8}), com_port_answer(3, {3}), com_port_answer(4, {1})}), true, false},
        {"no stop bits answer", cat({baud, com_port_answer(2, {8}), com_port_answer(3, {3})}), false, false},
        {"odd parity answered", cat({baud, com_port_answer(2, {8}), com_port_answer(3, {2}), com_port_answer(4, {1})}),
         false, true},
        {"modem lines need no answer", cat({baud, com_port_answer(2, {8}), com_port_answer(3, {3}),
                                            com_port_answer(4, {1}), com_port_answer(7, {0x30})}),
         true, false},
        {"a short baud answer is no answer", cat({com_port_answer(1, {0x01, 0xC2, 0x00}), com_port_answer(2, {8}),
                                                  com_port_answer(3, {3}), com_port_answer(4, {1})}),
         false, false},
    };
    for (const Case &c : cases) {
        Client client;
        client.request_line_settings(115200);
        feed(client, c.answers, 5);
        EXPECT_EQ(client.settings_acknowledged(), c.acknowledged) << c.what;
        EXPECT_EQ(client.settings_refused(), c.refused) << c.what;
    }
}

TEST(TelnetCodec, RateAnswersCarryTheRateEscaped) {
    Client client;
    EXPECT_FALSE(client.rate_acknowledged(nullptr));
    client.request_baudrate(0x0100FF);
    EXPECT_EQ(output(client), (Bytes{IAC, SB, COM, 1, 0x00, 0x01, 0x00, 0xFF, 0xFF, IAC, SE}));
    feed(client, com_port_answer(1, {0x00, 0x01, 0x00, 0xFF}), 1);
    uint32_t baud = 0;
    ASSERT_TRUE(client.rate_acknowledged(&baud));
    EXPECT_EQ(baud, 0x0100FFu);
    client.request_baudrate(57600); // a new request waits for a new answer
    EXPECT_FALSE(client.rate_acknowledged(&baud));
}

TEST(TelnetCodec, PurgeGoesFirstMergesAndIsNeverCutInTwo) {
    Client client;
    client.start();
    client.request_purge(telnet::kPurgeReceive);
    client.request_purge(telnet::kPurgeBoth);
    uint8_t out[64];
    EXPECT_EQ(client.take_output(out, 4), 4u) << "no room for the purge: proposals only";
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{IAC, WILL, 0, IAC}));
    ASSERT_EQ(client.take_output(out, sizeof out), 7u + 11u);
    EXPECT_EQ(Bytes(out, out + 7), (Bytes{IAC, SB, COM, 12, 3, IAC, SE}));
    EXPECT_EQ(client.output_size(), 0u);
}

TEST(TelnetCodec, AProposalFloodIsBoundedByTheOutputQueue) {
    Client client;
    Bytes flood;
    for (int i = 0; i < 2000; ++i) flood.insert(flood.end(), {IAC, DO, static_cast<uint8_t>(100 + i % 100)});
    feed(client, flood, 1000);
    EXPECT_LE(client.output_size(), Client::kOutputCapacity);
    EXPECT_GT(client.dropped_output(), 0u);
}

} // namespace
