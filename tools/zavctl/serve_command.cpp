// zavctl serve: the dashboard, when this build has it (serve.cpp).
#include <cstdio>

#include "command.h"
#include "serve.h"
#include "session.h"

namespace zavctl {

namespace {

const CommandRegistration kServe{
    {"serve", Group::kOther, "a live dashboard in the browser (and a JSON interface under /api)",
     "zavctl --sim serve --http-port 8080", [](CLI::App &app) -> Run {
         auto options = state<ServeOptions>();
         app.description("a live dashboard in the browser: prints the address to open, runs until interrupted\n"
                         "(JSON interface under /api, see the README)");
         app.add_option("--http-port", options->http_port, "TCP port to listen on; 0 picks a free one")
             ->capture_default_str()
             ->check(CLI::Range(0, 65535));
         app.add_option("--listen", options->listen,
                        "address to listen on; beyond loopback, clients need the access token printed with the address")
             ->capture_default_str();
         app.add_option("--token", options->token,
                        "access token that every client must give (at least 16 of A-Z a-z 0-9 . _ ~ -); default: "
                        "$ZAVCTL_TOKEN, else a random one beyond loopback and none on loopback");
         return [options](Session &s) {
#ifdef ZAVCTL_HAS_SERVE
             options->baud = s.options().baud;
             return serve(s.port(), s.reply_timeout_ms(), *options);
#else
             (void)s;
             std::fprintf(stderr, "zavctl: this zavctl was built without serve: its build was configured with "
                                  "-DZAV_DASHBOARD=OFF, or could not bring in Boost, nlohmann/json or uPlot (the "
                                  "cmake output says which)\n");
             return static_cast<int>(kExitUnavailable);
#endif
         };
     }}};

} // namespace

} // namespace zavctl
