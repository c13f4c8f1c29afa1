// The consumers' side of POSIX mq and ZeroMQ, shared by the one-hop peers and
// their two-hop (relay) versions: the same queues, the same receive loop.
#pragma once
#include <mqueue.h>

#include <cstddef>

#include "harness.h"

namespace e2e {

// Consumer index's queue of the queues named after base.
void MqQueueName(char* out, std::size_t size, const char* base, int index);
// A queue of records of RECORD_BYTES.
mq_attr MqAttributes(int records);
// Asleep in a timed receive on its queue of base until the stop flag.
int MqConsume(int index, Control* control, const char* base);

// A SUB socket with a high-water mark of QUEUE_RECORDS connected to endpoint,
// asleep in its receive until the stop flag (built with libzmq only).
int ZmqConsume(int index, Control* control, const char* endpoint);

}  // namespace e2e
