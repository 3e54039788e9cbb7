// zavctl's exit status: one set for every command, listed by zavctl --help
// and the README.
#pragma once

namespace zavctl {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,      // the servos or the line did not do what was asked (doctor: a finding needs attention)
    kExitUsage = 2,       // the command line is wrong or incomplete; nothing was sent
    kExitCannotOpen = 3,  // a port could not be opened: the serial port, serve's HTTP port, or the --capture file
    kExitUnavailable = 4, // not in this build, or not on this system
};

} // namespace zavctl
