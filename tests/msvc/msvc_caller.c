/*
 * A Visual Studio caller of the DLL: compiled by clang in MSVC mode and linked
 * by lld-link against the .lib import library, with no C runtime (none is
 * installed here), only the DLL and KERNEL32. It calls all 17 functions, so a
 * link proves that the import library resolves each one under the name an MSVC
 * caller uses (on x86, _ZAV_OpenPort@8 and so on).
 *
 * Run (x64, under wine64): ZAV_TEST_PORT names a port with the simulated bus on
 * the far end, servo 1 present and servo 9 absent. Prints one line per check
 * and exits 0 when all pass.
 */
#include "zavlib.h"

__declspec(dllimport) void *__stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void *file, const void *data, unsigned long size,
                                              unsigned long *written, void *overlapped);
__declspec(dllimport) unsigned long __stdcall GetEnvironmentVariableA(const char *name, char *value,
                                                                      unsigned long size);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

int _fltused; /* the compiler's marker that floating point is in use */

static unsigned passed, failed;

static void put(const char *text) {
    unsigned long length = 0, written;
    while (text[length]) ++length;
    WriteFile(GetStdHandle((unsigned long)-11), text, length, &written, 0);
}

static void put_number(unsigned long value) {
    char digits[12];
    int at = sizeof digits - 1;
    digits[at] = 0;
    do {
        digits[--at] = (char)('0' + value % 10);
        value /= 10;
    } while (value && at > 0);
    put(digits + at);
}

static void check(int ok, const char *what) {
    put(ok ? "ok: " : "FAILED: ");
    put(what);
    put("\r\n");
    if (ok) ++passed; else ++failed;
}

void start(void) {
    char name[64];
    StatusWord status = 0;
    uint16_t word = 0;
    uint8_t byte = 0, block[2] = {0x70, 0x17}, reply[3] = {0, 0, 0};
    uint8_t sync[5] = {ZAV_REG_GOAL_POSITION, 2, 1, 0x28, 0x23}; /* servo 1 to 9000 */
    const uint8_t subcode = 2;
    uint32_t got = 0;
    PortHandle port;
    const double t0 = GetQueryPerformanceCounter();

    check(ZAV_OpenPort("COM97", 115200) == 0, "a missing port is refused");
    check(!ZAV_Ping(0, 1, &status) && status == ERR_HANDLE, "a null handle is refused");

    if (GetEnvironmentVariableA("ZAV_TEST_PORT", name, sizeof name) - 1 >= sizeof name - 1) {
        check(0, "ZAV_TEST_PORT names the port of the simulated bus");
        ExitProcess(1);
    }
    port = ZAV_OpenPort(name, 115200);
    check(port != 0 && ZAV_Active(port), "the port of the simulated bus opens");
    if (!port) ExitProcess(1);
    ZAV_SetEchoCancel(1);
    ZAV_SetTimeOutOffset(port, 0);
    check(ZAV_SetBaudrate(port, 115200), "the rate is set");

    check(ZAV_Ping(port, 1, &status) && status == 0, "servo 1 answers a ping");
    check(!ZAV_Ping(port, 9, &status) && status == ERR_TIMEOUT, "servo 9 times out");
    check(ZAV_WriteByteData(port, 1, ZAV_REG_TORQUE_ENABLE, 1, &status) &&
              ZAV_ReadByteData(port, 1, ZAV_REG_TORQUE_ENABLE, &byte, &status) && byte == 1,
          "servo 1 takes hold");
    check(ZAV_WriteWordData(port, 1, ZAV_REG_GOAL_POSITION, 4000, &status) &&
              ZAV_ReadWordData(port, 1, ZAV_REG_GOAL_POSITION, &word, &status) && word == 4000,
          "a word goal reads back");
    check(ZAV_WriteBlockData(port, 1, ZAV_REG_GOAL_POSITION, block, 2, &status) &&
              ZAV_ReadBlockData(port, 1, ZAV_REG_GOAL_POSITION, reply, 2, &status) &&
              reply[0] == 0x70 && reply[1] == 0x17,
          "a block goal reads back");
    check(ZAV_WriteSyncData(port, sync, sizeof sync, &status) &&
              ZAV_ReadWordData(port, 1, ZAV_REG_GOAL_POSITION, &word, &status) && word == 9000,
          "a sync write reaches servo 1");
    check(ZAV_TxPacket(port, 1, CMD_READ_PARAM, &subcode, 1, &status) &&
              ZAV_RxPacket(port, reply, 3, &got, 500, &status) && got == 3 && reply[0] == 0x21 &&
              reply[1] == 2,
          "a raw packet gets its reply");
    check(ZAV_ClosePort(port), "the port closes");
    check(GetQueryPerformanceCounter() > t0, "the clock advances");

    put("msvc caller: ");
    put_number(passed);
    put(" passed, ");
    put_number(failed);
    put(" failed\r\n");
    ExitProcess(failed ? 1 : 0);
}
