// zavctl raw: one packet out, the reply bytes shown as they came.
#include <cstdio>
#include <vector>

#include "command.h"
#include "facts.h"
#include "session.h"
#include "status_text.h"

namespace zavctl {

namespace {

struct RawArgs {
    IdSelection id;
    int command = CMD_POSITION;
    std::vector<int> data;
    uint32_t reply_length = 3;
    uint32_t timeout_ms = 100;
};

int run_raw(Session &s, const RawArgs &a) {
    const int id = a.id.ids.front();
    std::vector<uint8_t> bytes(a.data.begin(), a.data.end());
    StatusWord status = 0;
    if (!ZAV_TxPacket(s.port(), static_cast<uint32_t>(id), a.command, bytes.data(), static_cast<uint32_t>(bytes.size()), &status))
        return s.fail("send", status, id);
    std::printf("sent  %02X", static_cast<uint8_t>((static_cast<uint32_t>(a.command) << ZAV_COMMAND_SHIFT) + static_cast<uint32_t>(id)));
    for (uint8_t b : bytes) std::printf(" %02X", b);
    std::printf("\n");
    if (a.reply_length == 0) return kExitOk;
    std::vector<uint8_t> reply(a.reply_length);
    uint32_t got = 0;
    const bool ok = ZAV_RxPacket(s.port(), reply.data(), a.reply_length, &got, a.timeout_ms, &status);
    std::printf("reply");
    for (uint32_t i = 0; i < got; ++i) std::printf(" %02X", reply[i]);
    std::printf("%s\n", got == 0 ? " (none)" : "");
    if (!ok) {
        std::fprintf(stderr, "zavctl: %u of %u reply bytes within %u ms [%s]\n", got, a.reply_length, a.timeout_ms,
                     flag_names(status).c_str());
        return kExitFailed;
    }
    return kExitOk;
}

const CommandRegistration kRaw{
    {"raw", Group::kLine, "send one packet and show the reply bytes", "zavctl --sim raw 3 5 2 --timeout 2000",
     [](CLI::App &app) -> Run {
         auto a = state<RawArgs>();
         app.add_option_function<std::string>(
                "ID",
                [a](const std::string &text) {
                    if (!parse_ids(text, a->id) || a->id.all || a->id.ids.size() != 1)
                        throw CLI::ValidationError("'" + text + "' is not one servo id " + range_text(kIdRange));
                },
                "one servo id " + range_text(kIdRange))
             ->required();
         app.add_option("COMMAND", a->command, "command number: 4 position, 5 read parameter, 6 write parameter")
             ->required()
             ->check(CLI::Range(0, 7));
         app.add_option("DATA", a->data, "data bytes (0x.. or decimal)")->check(CLI::Range(0, 255));
         app.add_option("--reply", a->reply_length, "reply bytes to read (0: none)")->capture_default_str()->check(CLI::Range(0, 4096));
         app.add_option("--timeout", a->timeout_ms, "ms to wait for the reply")->capture_default_str();
         return [a](Session &s) { return run_raw(s, *a); };
     }}};

} // namespace

} // namespace zavctl
