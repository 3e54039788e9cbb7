// The rate a Linux line is really set to, read back from the far end of a
// pseudo-terminal (its master reads the slave's settings). A kernel with
// termios2 takes any rate; one without it (qemu's user mode, for one) takes
// the standard rates through the classic calls and refuses the rest.
//
// <asm/termbits.h> clashes with <termios.h>, hence a file of its own.
#include <gtest/gtest.h>

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "pty_link.h"
#include "zavlib.h"

namespace {

enum class Classic { kTaken, kRefused, kEither };

struct Rate {
    int32_t baud;
    tcflag_t code;   // its classic code, 0 for none
    Classic classic; // the result without termios2
};

// qemu's user mode carries classic codes up to B460800 only; a higher one may
// be refused there, but the result must still tell the truth.
const Rate kRates[] = {
    {57600, B57600, Classic::kTaken},   {250000, 0, Classic::kRefused},        {9600, B9600, Classic::kTaken},
    {1250000, 0, Classic::kRefused},    {1000000, B1000000, Classic::kEither}, {460800, B460800, Classic::kTaken},
    {115200, B115200, Classic::kTaken},
};

bool knows_termios2(int fd) {
    termios2 tio{};
    return ioctl(fd, TCGETS2, &tio) == 0;
}

// The line's output rate (0 when it cannot be read), and whether the bus's
// settings hold: 8 bits, no modem control (CLOCAL, which the pseudo-terminal
// does not start with), no line editing.
struct Line {
    uint32_t rate = 0;
    bool bus_settings = false;
};

Line line_of(int master) {
    Line line;
    tcflag_t cflag = 0;
    tcflag_t lflag = 0;
    termios2 tio2{};
    termios tio{};
    if (ioctl(master, TCGETS2, &tio2) == 0) {
        line.rate = tio2.c_ospeed;
        cflag = tio2.c_cflag;
        lflag = tio2.c_lflag;
    } else if (ioctl(master, TCGETS, &tio) == 0) {
        for (const Rate &rate : kRates) {
            if (rate.code != 0 && rate.code == (tio.c_cflag & CBAUD)) line.rate = static_cast<uint32_t>(rate.baud);
        }
        cflag = tio.c_cflag;
        lflag = tio.c_lflag;
    }
    line.bus_settings = (cflag & CSIZE) == CS8 && (cflag & CLOCAL) != 0 && (lflag & (ICANON | ECHO | ISIG)) == 0;
    return line;
}

} // namespace

TEST(PosixDevice, EveryRateTheLineTakesIsSetAndTheOthersAreRefused) {
    zavsim::PtyLink link;
    ASSERT_TRUE(link.ok());
    const bool termios2 = knows_termios2(link.master_fd());

    PortHandle port = ZAV_OpenPort(link.slave_path().c_str(), 1250000);
    if (termios2) {
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(line_of(link.master_fd()).rate, 1250000u);
        ZAV_ClosePort(port);
    } else {
        EXPECT_EQ(port, nullptr) << "1250000 has no classic code";
    }
    // A refused open released the device.
    port = ZAV_OpenPort(link.slave_path().c_str(), 115200);
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(ZAV_Active(port));
    uint32_t expected = 115200;
    EXPECT_EQ(line_of(link.master_fd()).rate, expected);
    EXPECT_TRUE(line_of(link.master_fd()).bus_settings);

    for (const Rate &rate : kRates) {
        const bool taken = ZAV_SetBaudrate(port, rate.baud);
        if (termios2 || rate.classic != Classic::kEither) {
            EXPECT_EQ(taken, termios2 || rate.classic == Classic::kTaken) << rate.baud;
        }
        if (taken) expected = static_cast<uint32_t>(rate.baud);
        const Line line = line_of(link.master_fd());
        EXPECT_EQ(line.rate, expected) << rate.baud << (taken ? ": not set" : ": a refused rate changed the line");
        EXPECT_TRUE(line.bus_settings) << rate.baud;
    }
    EXPECT_TRUE(ZAV_ClosePort(port));
}
