/* Raising driver events on a controller of the simulated board library. Plain C. */
#ifndef KQVXI_INJECT_H
#define KQVXI_INJECT_H
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KQVXI_INJECT_OK 0
#define KQVXI_INJECT_FULL (-1)   /* the controller's event queue is full: refused */
#define KQVXI_INJECT_ARG (-2)    /* a field out of range */
#define KQVXI_INJECT_SYSTEM (-3) /* the board's shared state could not be had */

/* Classes 0..5 with their 16-bit value (class 1 and 2 ignore it). */
int kqvxi_inject_class(uint16_t controller, int eventClass, uint16_t value);
/* Level event: index, level, 32-bit value. */
int kqvxi_inject_level(uint16_t controller, int16_t index, uint16_t level, uint32_t value);
/* Channel event: index, channel, 16-bit value. */
int kqvxi_inject_channel(uint16_t controller, int16_t index, uint16_t channel, uint16_t value);
/* Source event for the selector -1 (marked = 0) or -2 (marked = 1) handler with the
   handler's source argument, and what QueryEventSource reports while it runs. */
int kqvxi_inject_source(uint16_t controller, int marked, uint16_t source, uint16_t index,
                        uint16_t level, uint16_t reportedSource, uint16_t kind);

#ifdef __cplusplus
}
#endif
#endif
