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

/* Servo ids: 0 to ZAV_ID_MAX share one line. A write to BROADCAST_ID goes to
 * ids 0 to ZAV_BROADCAST_LAST_ID, one after another. */
#define ZAV_ID_MAX 31u
#define BROADCAST_ID 254u
#define ZAV_BROADCAST_LAST_ID 30u

/* Values the servos accept. */
#define ZAV_GOAL_MIN 3000u  /* goal_position, inclusive */
#define ZAV_GOAL_MAX 12000u
#define ZAV_GOAL_CENTER 7500u /* the middle of the goal range */
#define ZAV_PARAM_MIN 1u    /* sc1_value and sc2_value, inclusive */
#define ZAV_PARAM_MAX 127u

/* What the readings can hold once converted, inclusive. */
#define ZAV_SC3_MIN (-63)
#define ZAV_SC3_MAX 63
#define ZAV_SC4_MIN (-63)
#define ZAV_SC4_MAX 127

/* Servo command numbers (bits 5 to 7 of the command byte, the id in bits 0 to 4). */
#define CMD_POSITION 4
#define CMD_READ_PARAM 5
#define CMD_WRITE_PARAM 6
#define ZAV_COMMAND_SHIFT 5

/* Parameter sub-codes: the first data byte of CMD_READ_PARAM and CMD_WRITE_PARAM. */
#define ZAV_SUBCODE_SC1 1
#define ZAV_SUBCODE_SC2 2
#define ZAV_SUBCODE_SC3 3
#define ZAV_SUBCODE_SC4 4

/* Every reply is three bytes. A position reply starts with the id (servo 0 at
 * exactly ZAV_ID0_ALT_REPLY_BAUD: ZAV_ID0_ALT_REPLY); a parameter read's with
 * ZAV_READ_REPLY_BASE + id, a parameter write's with ZAV_WRITE_REPLY_BASE + id. */
#define ZAV_REPLY_LENGTH 3u
#define ZAV_ID0_ALT_REPLY_BAUD 115200
#define ZAV_ID0_ALT_REPLY 0x80u
#define ZAV_READ_REPLY_BASE 0x20u
#define ZAV_WRITE_REPLY_BASE 0x40u

/* sc3_value from the servo's byte v: sign and magnitude. */
#define ZAV_SC3_SIGN_BIT 0x40u
#define ZAV_SC3_MAGNITUDE_MASK 0x3Fu
/* sc4_value from the servo's byte v: (ZAV_SC4_ORIGIN - v) * ZAV_SC4_SCALE_NUM /
 * ZAV_SC4_SCALE_DEN + ZAV_SC4_OFFSET in double precision, truncated toward zero,
 * then kept within a signed byte. */
#define ZAV_SC4_ORIGIN 127
#define ZAV_SC4_SCALE_NUM 9
#define ZAV_SC4_SCALE_DEN 11
#define ZAV_SC4_OFFSET 41.55

/* Time-outs in ms. A reply may take the port's time-out offset plus K divided
 * by the baud rate, truncated: K is ZAV_REPLY_K_LONG for position exchanges,
 * parameter writes and sub-code 2 reads, ZAV_REPLY_K_SHORT for sub-code 1, 3
 * and 4 reads. The echo of a sent packet is awaited for ZAV_ECHO_TIMEOUT_MS. */
#define ZAV_DEFAULT_TIMEOUT_OFFSET_MS 20
#define ZAV_REPLY_K_LONG 60000u
#define ZAV_REPLY_K_SHORT 50000u
#define ZAV_ECHO_TIMEOUT_MS 50u

/* ZAV_OpenPort keeps at most this many characters of a port's name; opening
 * a name that is already open closes the earlier handle. */
#define ZAV_PORT_NAME_LENGTH 30u

/* The rate the tools and bindings open a port at unless told otherwise. */
#define ZAV_DEFAULT_BAUD 115200

/* ZAV_TxPacket sends at most this many data bytes behind the command byte. */
#define ZAV_PACKET_MAX_DATA 99u

/* ZAV_WriteSyncData's block: a start address, the bytes per servo n, then
 * records of an id and n bytes; ZAV_SYNC_MIN_LENGTH to ZAV_SYNC_MAX_LENGTH
 * bytes in all. */
#define ZAV_SYNC_HEADER_LENGTH 2u
#define ZAV_SYNC_MIN_LENGTH 5u
#define ZAV_SYNC_MAX_LENGTH 93u

/* Register addresses of the ten-byte servo image, each with what it holds as
 * far as the bus defines it. Words are 16-bit, low byte first. */
/* The servo's id, 0 to 31; reading it asks the servo for its position. */
#define ZAV_REG_ID 0
/* 1 while the servo holds its goal (torque on), 0 once released; writing 1
 * takes hold where the servo stands. */
#define ZAV_REG_TORQUE_ENABLE 1
/* Where the servo is sent, in the servo's own position units: 3000 and 12000
 * are the ends of the range the servos accept and 7500 its middle; the angle
 * of one unit depends on the servo, not on the bus. 0 while released. */
#define ZAV_REG_GOAL_POSITION 2
/* Writable parameter of sub-code 2, 1 to 127; what it sets depends on the servo. */
#define ZAV_REG_SC2_VALUE 4
/* Writable parameter of sub-code 1, 1 to 127; what it sets depends on the servo. */
#define ZAV_REG_SC1_VALUE 5
/* Where the servo said it stood in its reply to the last position exchange,
 * in the units of the goal. */
#define ZAV_REG_PRESENT_POSITION 6
/* Reading of sub-code 3, -63 to 63 (the servo sends sign and magnitude); what
 * it measures depends on the servo. */
#define ZAV_REG_SC3_VALUE 8
/* Reading of sub-code 4, -63 to 127, converted from the servo's byte v as
 * (127 - v) * 9 / 11 + 41.55, truncated; what it measures depends on the servo. */
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
