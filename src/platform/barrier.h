// A process-wide memory barrier, for asymmetric synchronisation: the frequent
// side of a lock or a hazard pin uses plain stores and loads with no processor
// fence, and the rare side makes every other thread of the process execute a
// full fence before it looks at what they stored.
#pragma once

// True when OsProcessBarrier works in this process. The first call decides
// (and registers the process for the barrier where the system asks for that);
// later calls read the answer.
bool OsProcessBarrierAvailable();

// Every running thread of this process, the caller included, executes a full
// memory barrier before this returns (a thread not running passes one when it
// is next scheduled).
// Costs a system call and an interrupt per processor: for rare paths only.
// Call only after OsProcessBarrierAvailable() answered true.
void OsProcessBarrier();
