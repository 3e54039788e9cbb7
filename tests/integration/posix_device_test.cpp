// Linux backend behaviour that only a real device shows: exclusive opens,
// hang-ups, line settings, and unloading the shared library.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "bus_harness.h"
#include "bus_runner.h"
#include "pty_link.h"
#include "servo_bus.h"
#include "zavlib.h"

namespace {

constexpr double kSlackMs = 1000.0;

// A fresh link path name next to nothing else.
std::string temp_link(const std::string &target) {
    char dir[] = "/tmp/zavlib-test-XXXXXX";
    if (mkdtemp(dir) == nullptr) return "";
    const std::string link = std::string(dir) + "/ttyZAV";
    if (symlink(target.c_str(), link.c_str()) != 0) return "";
    return link;
}

// Bytes waiting to be read on fd.
int queued(int fd) {
    int n = -1;
    ioctl(fd, FIONREAD, &n);
    return n;
}

} // namespace

TEST(PosixDevice, SecondOpenOfTheSameDeviceIsRefusedAndTouchesNothing) {
    zavsim::PtyLink link;
    ASSERT_TRUE(link.ok());
    PortHandle holder = ZAV_OpenPort(link.slave_path().c_str(), 115200);
    ASSERT_NE(holder, nullptr);
    // Bytes queued for the holder, and its settings, must survive a refused open.
    const uint8_t bytes[3] = {1, 2, 3};
    ASSERT_TRUE(link.write_all(bytes, 3));
    const std::string other_name = temp_link(link.slave_path());
    ASSERT_FALSE(other_name.empty());

    EXPECT_EQ(ZAV_OpenPort(other_name.c_str(), 9600), nullptr) << "same device under another name";
    const pid_t child = fork();
    if (child == 0) {
        // Another process, even as root, is refused too.
        _exit(ZAV_OpenPort(other_name.c_str(), 9600) == nullptr ? 0 : 1);
    }
    int child_status = -1;
    ASSERT_EQ(waitpid(child, &child_status, 0), child);
    EXPECT_TRUE(WIFEXITED(child_status) && WEXITSTATUS(child_status) == 0);

    EXPECT_TRUE(ZAV_Active(holder));
    uint8_t got_bytes[3] = {};
    uint32_t got = 0;
    ASSERT_TRUE(ZAV_RxPacket(holder, got_bytes, 3, &got, 1000, nullptr)) << "queued bytes were purged";
    EXPECT_EQ(got_bytes[2], 3);

    EXPECT_TRUE(ZAV_ClosePort(holder));
    // Released: the other name opens now.
    PortHandle again = ZAV_OpenPort(other_name.c_str(), 9600);
    EXPECT_NE(again, nullptr);
    ZAV_ClosePort(again);
}

TEST(PosixDevice, LineSettingsAreRawAndCloseClearsExclusiveMode) {
    zavsim::PtyLink link;
    ASSERT_TRUE(link.ok());
    PortHandle port = ZAV_OpenPort(link.slave_path().c_str(), 115200);
    ASSERT_NE(port, nullptr);
    const int fd = open(link.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    // The device is held exclusively; root may still open it, so look at it from here.
    if (fd >= 0) {
        termios tio{};
        ASSERT_EQ(tcgetattr(fd, &tio), 0);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
        EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
        EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
        EXPECT_EQ(tio.c_iflag & (INPCK | IXON | IXOFF | ISTRIP | ICRNL | PARMRK), 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        int exclusive = 0;
        ASSERT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 1);
        close(fd);
    } else {
        ADD_FAILURE() << "cannot look at the device (not root?)";
    }
    ASSERT_TRUE(ZAV_ClosePort(port));
    const int after = open(link.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(after, 0);
    int exclusive = 1;
    ASSERT_EQ(ioctl(after, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(after);
}

TEST(PosixDevice, PingAfterTheFarEndHungUpReturnsPromptly) {
    zavsim::ServoBus bus(steady_bus());
    zavsim::PtyLink link;
    ASSERT_TRUE(link.ok());
    PortHandle port = nullptr;
    // A reply offset far beyond the bounds below: only a noticed hang-up is that quick.
    constexpr int32_t kOffsetMs = 5000;
    ZAV_SetEchoCancel(0);
    {
        zavsim::BusRunner runner(bus, link);
        port = ZAV_OpenPort(link.slave_path().c_str(), 115200);
        ASSERT_NE(port, nullptr);
        ZAV_SetTimeOutOffset(port, kOffsetMs);
        ASSERT_TRUE(ZAV_Ping(port, 1, nullptr));
    }
    link.hang_up();
    for (uint8_t id : {1, 2}) {
        StatusWord status = 0;
        const double start = GetQueryPerformanceCounter();
        EXPECT_FALSE(ZAV_Ping(port, id, &status));
        EXPECT_LT(GetQueryPerformanceCounter() - start, 2500.0) << "a hang-up ends the exchange at once";
        EXPECT_TRUE(status == ERR_TIMEOUT || status == ERR_PORT) << status;
        uint8_t reply[3];
        const double rx_start = GetQueryPerformanceCounter();
        EXPECT_FALSE(ZAV_RxPacket(port, reply, 3, nullptr, 5000, &status));
        EXPECT_LT(GetQueryPerformanceCounter() - rx_start, 2500.0) << "a hang-up ends the read at once";
    }
    EXPECT_TRUE(ZAV_ClosePort(port));
    ZAV_SetEchoCancel(1);
}

TEST(PosixDevice, UnloadingTheLibraryClosesItsPorts) {
    zavsim::PtyLink link;
    ASSERT_TRUE(link.ok());
    // A private copy, so that unloading it really unloads (this program links the original).
    char copy[] = "/tmp/zavlib-copy-XXXXXX";
    const int copy_fd = mkstemp(copy);
    ASSERT_GE(copy_fd, 0);
    {
        const int original = open(ZAVLIB_SO_PATH, O_RDONLY);
        ASSERT_GE(original, 0);
        char chunk[65536];
        ssize_t n;
        while ((n = read(original, chunk, sizeof chunk)) > 0) ASSERT_EQ(write(copy_fd, chunk, static_cast<size_t>(n)), n);
        close(original);
        close(copy_fd);
    }
    void *library = dlopen(copy, RTLD_NOW | RTLD_LOCAL);
    unlink(copy);
    ASSERT_NE(library, nullptr) << dlerror();
    using Open = PortHandle (*)(const char *, int32_t);
    auto open_port = reinterpret_cast<Open>(dlsym(library, "ZAV_OpenPort"));
    ASSERT_NE(open_port, nullptr);
    ASSERT_NE(open_port(link.slave_path().c_str(), 115200), nullptr);
    // The copy loaded here is separate from the one this program links, so the
    // device is now held by it.
    const std::string other_name = temp_link(link.slave_path());
    EXPECT_EQ(ZAV_OpenPort(other_name.c_str(), 115200), nullptr);
    ASSERT_EQ(dlclose(library), 0);
    PortHandle port = ZAV_OpenPort(other_name.c_str(), 115200);
    EXPECT_NE(port, nullptr) << "unload released the device";
    ZAV_ClosePort(port);
}

TEST(PosixDevice, QueuedBytesAreDeliveredAsReceived) {
    // Bytes that a parity-checking line would replace arrive unchanged.
    zavsim::PtyLink link;
    ASSERT_TRUE(link.ok());
    PortHandle port = ZAV_OpenPort(link.slave_path().c_str(), 115200);
    ASSERT_NE(port, nullptr);
    const uint8_t bytes[4] = {0x00, 0xFF, 0x11, 0x13};
    ASSERT_TRUE(link.write_all(bytes, 4));
    uint8_t got_bytes[4] = {};
    uint32_t got = 0;
    ASSERT_TRUE(ZAV_RxPacket(port, got_bytes, 4, &got, 1000, nullptr));
    EXPECT_EQ(std::vector<uint8_t>(got_bytes, got_bytes + 4), std::vector<uint8_t>(bytes, bytes + 4));
    EXPECT_EQ(queued(link.master_fd()), 0);
    ZAV_ClosePort(port);
}
