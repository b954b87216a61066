/* The device service "KLP1:" as applications see it: its control codes,
 * the request and record layouts on the control interface, the names of its
 * status events and its status error codes. One list, included by the
 * service itself and by every caller. C and C++.
 *
 * An application's road to the printer's status:
 *   1. KLP_UPDATE_PRINTERSTATUS with a PortRequest naming the port;
 *   2. wait on KELO_STATUS_DATA_EVENT (a byte arrived) or
 *      KELO_STATUS_TIMEOUT_EVENT (no answer in time, or the request could
 *      not be sent);
 *   3. KLP_GET_PRINTERSTATUS with the port name, no output buffer and an
 *      output size of 0 to learn the size in bytes;
 *   4. the same with a buffer of that size: the StatusRecords, oldest first.
 */
#ifndef KELO_SERVICE_CONTROL_H
#define KELO_SERVICE_CONTROL_H

#include <stddef.h>
#include <stdint.h>

/* Control codes: bits 8 to 23 carry the command; for the commands that act
 * on one open port, bits 0 to 7 carry its index (1 to 255) as KLP_OPEN gave
 * it. Bits 24 to 31 are ignored. */
#define KLP_OPEN 0x100u
#define KLP_WRITE 0x200u
#define KLP_CLOSE 0x300u
#define KLP_READ 0x400u
#define KLP_RTS_CONTROL 0x500u
#define KLP_CHECK_STATUS 0x600u
#define KLP_BEGIN_JOB 0x700u
#define KLP_END_JOB 0x800u
#define KLP_RESET_PRINTER 0x900u         /* in: PortRequest */
#define KLP_UPDATE_PRINTERSTATUS 0xA00u  /* in: PortRequest */
#define KLP_GET_PRINTERSTATUS 0xB00u     /* in: port name; out: StatusRecords */
#define KLP_OPEN_QUIET 0xC00u
#define KLP_RTS_RESET 0xD00u
#define KLP_STOP_PORTMONITOR 0xE00u      /* in: port name */
#define KLP_WRITE_IF_IDLE 0x1000u
#define KLP_GET_INDEX 0x1100u

/* Status error codes, as the last error of a failed KLP_CHECK_STATUS. */
#define KLP_STATUS_NOT_READY 21u         /* status bit 3 (0x08) */
#define KLP_STATUS_OUT_OF_PAPER 28u      /* status bit 1 (0x02) */
#define KLP_STATUS_CONDITION_BIT2 16000u /* status bit 2 (0x04) */
#define KLP_STATUS_OUT_OF_PAPER_AND_BIT2 16001u /* bits 1 and 2 together */

/* Bits of a status byte. Only bytes whose two top bits are 1 and 0 carry
 * printer status. */
#define KLP_STATUS_CLASS_MASK 0xC0u
#define KLP_STATUS_CLASS 0x80u
#define KLP_STATUS_BIT_NOT_READY 0x08u
#define KLP_STATUS_BIT_OUT_OF_PAPER 0x02u
#define KLP_STATUS_BIT_CONDITION2 0x04u

/* Names of the service's two named auto-reset events, as wide strings. */
#if defined(_WIN32)
#define KELO_WIDE_TEXT(s) L##s
#else
#define KELO_WIDE_TEXT(s) u##s
#endif
#define KELO_STATUS_DATA_EVENT KELO_WIDE_TEXT("KELO_PRINTER_STATUS_DATA")
#define KELO_STATUS_TIMEOUT_EVENT KELO_WIDE_TEXT("KELO_PRINTER_STATUS_TIMEOUT")

/* Input of KLP_RESET_PRINTER and KLP_UPDATE_PRINTERSTATUS. 16 bytes where
 * pointers have 4 bytes, 24 where they have 8. */
typedef struct PortRequest {
  /* The wide, NUL-terminated port name in the caller's memory. */
  const void* name;
  /* Size of that buffer in bytes, terminator included. */
  uint8_t nameSize;
  uint8_t unused[3];
  /* KLP_RESET_PRINTER: non-zero = reset by RTS pulse, 0 = ESC @ sent by the
   * status monitor. KLP_UPDATE_PRINTERSTATUS: non-zero = ask by RTS pulse
   * instead of the status request command. */
  uint32_t flag;
  /* KLP_UPDATE_PRINTERSTATUS: ms to wait for an answer; only the low 16
   * bits count. */
  uint32_t timeout;
} PortRequest;

/* One status byte with the local time it was received. 10 bytes, byte
 * aligned: KLP_GET_PRINTERSTATUS hands out an array of them. */
typedef struct StatusRecord {
  uint8_t second;
  uint8_t minute;
  uint8_t hour;
  uint8_t day;
  uint8_t month; /* 1..12 */
  uint8_t unused5;
  uint8_t yearLow; /* year, little-endian */
  uint8_t yearHigh;
  uint8_t status; /* the byte as the printer sent it */
  uint8_t unused9;
} StatusRecord;

#ifdef __cplusplus
#define KELO_STATIC_ASSERT(condition, text) static_assert(condition, text)
#else
#define KELO_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#endif
KELO_STATIC_ASSERT(sizeof(StatusRecord) == 10, "StatusRecord is 10 bytes");
KELO_STATIC_ASSERT(offsetof(StatusRecord, status) == 8, "status byte at 8");
KELO_STATIC_ASSERT(offsetof(PortRequest, nameSize) == sizeof(void*),
                   "name size right after the pointer");
KELO_STATIC_ASSERT(offsetof(PortRequest, flag) == sizeof(void*) + 4,
                   "flag after the size and 3 unused bytes");
KELO_STATIC_ASSERT(offsetof(PortRequest, timeout) == sizeof(void*) + 8,
                   "time-out after the flag");
KELO_STATIC_ASSERT(sizeof(PortRequest) == (sizeof(void*) == 4 ? 16 : 24),
                   "PortRequest is 16 bytes with 4-byte pointers, 24 with 8");
#undef KELO_STATIC_ASSERT

#endif /* KELO_SERVICE_CONTROL_H */
