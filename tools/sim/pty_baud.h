// The baud rate a host set on a pseudo-terminal or serial device. Kept apart
// from <termios.h>: termios2, which carries any rate, clashes with it.
#pragma once

#include <cstdint>

namespace zavsim {

// The output rate of the terminal behind fd (for a pseudo-terminal's master,
// the rate its slave side was set to); 0 when it cannot be read.
uint32_t pty_output_baud(int fd);

} // namespace zavsim
