/*
 * servo_demo: open a port, scan the bus, move the first servo found to a goal
 * and read its registers back, through zavlib's C interface.
 *
 *     servo_demo PORT [GOAL [OFFSET_MS]]   e.g. servo_demo /dev/ttyUSB0 4000, servo_demo COM3
 *
 * OFFSET_MS is added to every reply time-out (ZAV_SetTimeOutOffset; the
 * library's default is ZAV_DEFAULT_TIMEOUT_OFFSET_MS): more for an adapter that
 * holds replies back, or a busy machine.
 *
 * Build it against an installed zavlib with this folder's CMakeLists.txt
 * (find_package) or with pkg-config:
 *
 *     cc servo_demo.c $(pkg-config --cflags --libs zavlib) -o servo_demo
 */
#include <stdio.h>
#include <stdlib.h>

#include "zavlib.h"

#define ARRIVAL_TOLERANCE 10
#define ARRIVAL_LIMIT_MS 10000.0

static int fail(PortHandle port, const char *what, StatusWord status) {
    fprintf(stderr, "servo_demo: %s failed, status 0x%04x\n", what, (unsigned)status);
    ZAV_ClosePort(port);
    return 1;
}

int main(int argc, char **argv) {
    PortHandle port;
    StatusWord status = 0;
    long goal = 4000, offset = ZAV_DEFAULT_TIMEOUT_OFFSET_MS;
    int id, first = -1, found = 0;
    uint16_t present = 0;
    uint8_t image[ZAV_REGISTER_COUNT];
    double start;

    if (argc >= 3) goal = strtol(argv[2], NULL, 10);
    if (argc >= 4) offset = strtol(argv[3], NULL, 10);
    if (argc < 2 || argc > 4 || goal < (long)ZAV_GOAL_MIN || goal > (long)ZAV_GOAL_MAX || offset < 0 ||
        offset > 10000) {
        fprintf(stderr, "usage: servo_demo PORT [GOAL %u-%u [OFFSET_MS 0-10000]]\n", ZAV_GOAL_MIN, ZAV_GOAL_MAX);
        return 2;
    }
    port = ZAV_OpenPort(argv[1], ZAV_DEFAULT_BAUD);
    if (!port) {
        fprintf(stderr, "servo_demo: cannot open %s\n", argv[1]);
        return 1;
    }
    ZAV_SetTimeOutOffset(port, (int32_t)offset);

    printf("servos on %s:", argv[1]);
    for (id = 0; id <= (int)ZAV_ID_MAX; ++id) {
        if (!ZAV_Ping(port, (uint8_t)id, NULL)) continue;
        printf(" %d", id);
        if (first < 0) first = id;
        ++found;
    }
    printf(" (%d found)\n", found);
    if (first < 0) return fail(port, "scan", 0);

    /* Torque on first: the servo takes hold where it stands, then takes the goal. */
    if (!ZAV_WriteByteData(port, (uint8_t)first, ZAV_REG_TORQUE_ENABLE, 1, &status))
        return fail(port, "torque on", status);
    if (!ZAV_WriteWordData(port, (uint8_t)first, ZAV_REG_GOAL_POSITION, (uint16_t)goal, &status))
        return fail(port, "goal write", status);
    printf("servo %d moves to %ld\n", first, goal);

    /* Each read is one exchange on the bus, which paces the loop. */
    start = GetQueryPerformanceCounter();
    do {
        if (!ZAV_ReadWordData(port, (uint8_t)first, ZAV_REG_PRESENT_POSITION, &present, &status))
            return fail(port, "position read", status);
    } while (labs((long)present - goal) > ARRIVAL_TOLERANCE &&
             GetQueryPerformanceCounter() - start < ARRIVAL_LIMIT_MS);
    printf("servo %d is at %u after %.0f ms\n", first, (unsigned)present, GetQueryPerformanceCounter() - start);

    if (!ZAV_ReadBlockData(port, (uint8_t)first, 0, image, ZAV_REGISTER_COUNT, &status))
        return fail(port, "register read", status);
    /* 16-bit registers are low byte first. */
    printf("registers: torque %u, goal %u, present %u, sc1 %u, sc2 %u, sc3 %u, sc4 %u\n",
           image[ZAV_REG_TORQUE_ENABLE],
           image[ZAV_REG_GOAL_POSITION] | (unsigned)image[ZAV_REG_GOAL_POSITION + 1] << 8,
           image[ZAV_REG_PRESENT_POSITION] | (unsigned)image[ZAV_REG_PRESENT_POSITION + 1] << 8,
           image[ZAV_REG_SC1_VALUE], image[ZAV_REG_SC2_VALUE], image[ZAV_REG_SC3_VALUE],
           image[ZAV_REG_SC4_VALUE]);

    ZAV_ClosePort(port);
    if (labs((long)present - goal) > ARRIVAL_TOLERANCE) {
        fprintf(stderr, "servo_demo: servo %d did not arrive\n", first);
        return 1;
    }
    return 0;
}
