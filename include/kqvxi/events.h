/* Event codes, request commands and the record layout that clients of the kqvxi
   server see. Plain C so that any language can bind it. */
#ifndef KQVXI_EVENTS_H
#define KQVXI_EVENTS_H
#include <stdint.h>

#define KQVXI_EVENT_CODE_BASE 0xDEAD0000u
#define KQVXI_CODE_UNREGISTERED 0xDEAD03E7u
#define KQVXI_SOURCE_MARKER 0xABCD0000u
#define KQVXI_EVENT_CODE(cls) (KQVXI_EVENT_CODE_BASE + (uint32_t)(cls))

/* Event classes 0..9: 0-5 flag classes, 6 source event, 7 level, 8 source level, 9 channel. */
#define KQVXI_CLASS_COUNT 10

/* Request commands. */
#define KQVXI_CMD_REGISTER 0u
#define KQVXI_CMD_UNREGISTER 1u
#define KQVXI_CMD_ENABLE 2u
#define KQVXI_CMD_DISABLE 3u
#define KQVXI_CMD_SWEEP 4u
#define KQVXI_CMD_STOP 13u
#define KQVXI_CMD_STOP_UNREGISTER 17u

/* One record as a client takes it from its ring. */
typedef struct kqvxi_record {
    uint32_t code;
    uint32_t arg1;
    uint32_t arg2;
    uint32_t arg3;
} kqvxi_record;

#endif
