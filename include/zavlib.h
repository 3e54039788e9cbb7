/*
 * zavlib: drive serial-bus servo motors (ids 0 to 31 on one serial line).
 *
 * Plain C interface. Every call runs on the calling thread; failures are
 * reported by a one-byte boolean (or a null handle) and, where a call takes
 * one, by the flags of an optional StatusWord.
 */
#ifndef ZAVLIB_H
#define ZAVLIB_H

#include <stdint.h>

/* The version of this header and of the library built from it. */
#define ZAVLIB_VERSION_MAJOR 1
#define ZAVLIB_VERSION_MINOR 1
#define ZAVLIB_VERSION_PATCH 0

#if defined(_WIN32) && !defined(_WIN64)
#define ZAV_CALL __stdcall
#else
#define ZAV_CALL
#endif

#if defined(_WIN32)
#define ZAV_API /* exports are named in zavlib.def */
#elif defined(__GNUC__)
#define ZAV_API __attribute__((visibility("default")))
#else
#define ZAV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle of an open port; null means failure. */
typedef struct PortRecord *PortHandle;

/* One-byte boolean result: 1 success, 0 failure. */
typedef uint8_t ZavBool;

/* Set of error flags written through the optional last argument. */
typedef uint16_t StatusWord;

#define ERR_WRITE 0x0008u   /* a register write was refused or a servo write failed */
#define ERR_TIMEOUT 0x0100u /* a reply did not arrive in full within its time-out */
#define ERR_PORT 0x0400u    /* device not open, write failed, or null receive buffer */
#define ERR_REPLY 0x0800u   /* reply did not match the request, or zero-length receive */
#define ERR_ADDRESS 0x1000u /* invalid register range, data length or sync-write layout */
#define ERR_ID 0x4000u      /* servo id above 31 (and not the broadcast id where allowed) */
#define ERR_HANDLE 0x8000u  /* null port handle */

#define BROADCAST_ID 254u

/* Values the servos accept. */
#define ZAV_GOAL_MIN 3000u  /* goal_position, inclusive */
#define ZAV_GOAL_MAX 12000u
#define ZAV_PARAM_MIN 1u    /* sc1_value and sc2_value, inclusive */
#define ZAV_PARAM_MAX 127u

/* Servo command numbers (bits 5 to 7 of the command byte). */
#define CMD_POSITION 4
#define CMD_READ_PARAM 5
#define CMD_WRITE_PARAM 6

/* Register addresses of the ten-byte servo image. */
#define ZAV_REG_ID 0
#define ZAV_REG_TORQUE_ENABLE 1
#define ZAV_REG_GOAL_POSITION 2 /* 16-bit, low byte first */
#define ZAV_REG_SC2_VALUE 4
#define ZAV_REG_SC1_VALUE 5
#define ZAV_REG_PRESENT_POSITION 6 /* 16-bit, low byte first */
#define ZAV_REG_SC3_VALUE 8
#define ZAV_REG_SC4_VALUE 9
#define ZAV_REGISTER_COUNT 10

/* Ports, settings and clock. */
ZAV_API PortHandle ZAV_CALL ZAV_OpenPort(const char *name, int32_t baudrate);
ZAV_API ZavBool ZAV_CALL ZAV_ClosePort(PortHandle handle);
ZAV_API ZavBool ZAV_CALL ZAV_Active(PortHandle handle);
ZAV_API ZavBool ZAV_CALL ZAV_SetBaudrate(PortHandle handle, int32_t baudrate);
ZAV_API void ZAV_CALL ZAV_SetTimeOutOffset(PortHandle handle, int32_t offset_ms);
/* Only the low byte of enable is stored: 256 turns echo cancellation off. */
ZAV_API void ZAV_CALL ZAV_SetEchoCancel(uint32_t enable);
/* Milliseconds since an arbitrary origin, from the high-resolution counter. */
ZAV_API double ZAV_CALL GetQueryPerformanceCounter(void);

/* Raw packets. Only the low byte of id is examined. */
ZAV_API ZavBool ZAV_CALL ZAV_TxPacket(PortHandle handle, uint32_t id, int32_t command,
                                      const uint8_t *data, uint32_t length,
                                      StatusWord *status);
/* got may be null; timeout_ms is unsigned (0 waits at most 1 ms). */
ZAV_API ZavBool ZAV_CALL ZAV_RxPacket(PortHandle handle, uint8_t *buffer, uint32_t count,
                                      uint32_t *got, uint32_t timeout_ms, StatusWord *status);

/* Servo registers. */
ZAV_API ZavBool ZAV_CALL ZAV_Ping(PortHandle handle, uint8_t id, StatusWord *status);

ZAV_API ZavBool ZAV_CALL ZAV_ReadBlockData(PortHandle handle, uint8_t id, uint8_t address,
                                           uint8_t *data, uint32_t length,
                                           StatusWord *status);
ZAV_API ZavBool ZAV_CALL ZAV_ReadWordData(PortHandle handle, uint8_t id, uint8_t address,
                                          uint16_t *value, StatusWord *status);
ZAV_API ZavBool ZAV_CALL ZAV_ReadByteData(PortHandle handle, uint8_t id, uint8_t address,
                                          uint8_t *value, StatusWord *status);

/* id 0 to 31, or BROADCAST_ID for ids 0 to 30 in turn. */
ZAV_API ZavBool ZAV_CALL ZAV_WriteBlockData(PortHandle handle, uint8_t id, uint8_t address,
                                            const uint8_t *data, uint32_t length,
                                            StatusWord *status);
ZAV_API ZavBool ZAV_CALL ZAV_WriteWordData(PortHandle handle, uint8_t id, uint8_t address,
                                           uint16_t value, StatusWord *status);
ZAV_API ZavBool ZAV_CALL ZAV_WriteByteData(PortHandle handle, uint8_t id, uint8_t address,
                                           uint8_t value, StatusWord *status);

/* Block: start address, bytes per servo n, then records of an id and n bytes. */
ZAV_API ZavBool ZAV_CALL ZAV_WriteSyncData(PortHandle handle, const uint8_t *data,
                                           uint32_t length, StatusWord *status);

#ifdef __cplusplus
}
#endif

#endif /* ZAVLIB_H */
