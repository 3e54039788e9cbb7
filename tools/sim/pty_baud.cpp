#include "pty_baud.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace zavsim {

namespace {

// The classic speed codes and their rates.
struct SpeedCode {
    tcflag_t code;
    uint32_t baud;
};

const SpeedCode kSpeedCodes[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

} // namespace

uint32_t pty_output_baud(int fd) {
    termios2 tio2{};
    if (ioctl(fd, TCGETS2, &tio2) == 0) return tio2.c_ospeed;
    // Without termios2 (qemu's user mode does not carry it) the classic call
    // still tells the standard rates.
    termios tio{};
    if (ioctl(fd, TCGETS, &tio) != 0) return 0;
    const tcflag_t code = tio.c_cflag & CBAUD;
    for (const SpeedCode &s : kSpeedCodes)
        if (s.code == code) return s.baud;
    return 0; // BOTHER, or a code of no standard rate
}

} // namespace zavsim
