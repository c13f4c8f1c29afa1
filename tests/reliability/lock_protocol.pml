/*
 * Lock protocol of a client's queue block, as a Promela model.
 *
 * The lock is a 32-bit word (-1 free, 0 held, n > 0 held with n waiters)
 * taken with an atomic increment and given back with an atomic decrement, plus
 * an auto-reset event that a releaser sets when the decrement leaves someone
 * counted as waiting. A set event stays set until one wait takes it.
 *
 * Parties: the client process, which takes the lock with an unbounded wait
 * and may be killed at any step (also while it holds the lock), and two server
 * threads (dispatch and request loop) that take it with the bounded wait: they
 * wait in steps, and after each step that timed out look whether the client
 * has ended; if it has, they look at the event once more and give up only when
 * no hand-over is pending. A server thread may also give up on a client that
 * lives but keeps the lock too long: it then stays counted in the lock word
 * (a pending acquire, marked per slot), and the next post of either thread only
 * looks whether the hand-over owed to that count has come. The two threads
 * serialise each post of one slot (pending check, append, release) with a
 * process-local per-slot lock, so the mark and the count stay in step.
 *
 * Checked:
 *  - mutual exclusion: at most one party inside; a client killed inside stays
 *    counted, so nobody may enter after it (assertion);
 *  - no lost hand-over: a server waiter never gives up while a hand-over is
 *    pending (assertion), and no live waiter is left blocked (no invalid end
 *    state, no non-progress cycle); no party takes a hand-over owed to another
 *    (a client that is never killed ends with the lock word balanced:
 *    -1, or 0 while a pending server acquire still counts);
 *  - the server always makes progress: no server thread blocks for ever or
 *    waits for ever once the client has ended (no invalid end state, no
 *    non-progress cycle under weak fairness).
 *
 * Seeded faults, each selected with -D on the spin command line:
 *  BROKEN_UNBOUNDED_WAIT   the server waits without a time-out
 *  BROKEN_NO_SET           a release never sets the event
 *  BROKEN_NO_RETRY         the server gives up without the last look at the event
 *  BROKEN_STEAL_FROM_DEAD  the server takes the lock when the client has ended
 *  BROKEN_IGNORES_DEATH    the server waits in steps but never gives up
 *  BROKEN_UNSERIALISED     the two server threads share the pending mark without
 *                          the per-slot lock: one can take the hand-over that a
 *                          release owed to the client
 */

/* Lock and release rounds per party; raise them with -D for a longer check. */
#ifndef CLIENT_ROUNDS
#define CLIENT_ROUNDS 3
#endif
#ifndef SERVER_ROUNDS
#define SERVER_ROUNDS 3
#endif

short lockWord = -1;   /* the block's lockCount */
bool event = false;    /* the lock's auto-reset event */
bool clientDead = false;
bool clientKilled = false;
bool pending = false;  /* a server acquire gave up on a live holder and still counts */
bit slotBusy = 0;      /* the server's process-local per-slot lock */
byte finished = 0;     /* parties (client, killer, two servers) that have ended */
byte inside = 0;       /* parties in the critical section; a dead holder stays counted */

/* Release: the decrement and the set are separate steps; the releaser may be
   killed between them. */
inline Release(mustSet) {
    atomic { lockWord--; mustSet = (lockWord >= 0) }
#ifndef BROKEN_NO_SET
    if
    :: mustSet -> event = true
    :: else -> skip
    fi
#endif
}

inline Enter() {
    atomic { inside++; assert(inside == 1) }
}

active proctype Client() {
    byte round = 0;
    bool mustWait;
    bool mustSet;
    {
        do
        :: round < CLIENT_ROUNDS ->
            atomic { lockWord++; mustWait = (lockWord != 0) }
            if
            :: mustWait -> atomic { event -> event = false }
            :: else -> skip
            fi;
            Enter();
            inside--;
            Release(mustSet);
            round++
        :: else -> break
        od
    } unless { clientDead };
    clientDead = true;  /* killed, or ended on its own */
    finished++
}

/* Kills the client at any moment, or never. */
active proctype Killer() {
    if
    :: atomic { clientDead = true; clientKilled = true }
    :: skip
    fi;
    finished++
}

proctype Server() {
    byte round = 0;
    bool mustWait;
    bool mustSet;
    bool got;
    do
    :: round < SERVER_ROUNDS ->
#ifndef BROKEN_UNSERIALISED
        atomic { slotBusy == 0 -> slotBusy = 1 }
#endif
        got = false;
        if
        :: pending ->
            /* Only the hand-over owed to the earlier acquire can let this post in;
               it is not waited for. */
            atomic {
                if
                :: event -> event = false; got = true
                :: else -> skip
                fi
            }
            if
            :: got -> pending = false
            :: else -> skip
            fi
        :: else ->
            atomic { lockWord++; mustWait = (lockWord != 0); got = !mustWait }
            if
            :: mustWait ->
#ifdef BROKEN_UNBOUNDED_WAIT
                atomic { event -> event = false; got = true }
#else
                do
                :: atomic { event -> event = false; got = true }; break
                :: !event ->  /* one wait step timed out */
                    if
#ifdef BROKEN_IGNORES_DEATH
                    :: false ->
#else
                    :: clientDead ->
#endif
#if defined(BROKEN_STEAL_FROM_DEAD)
                        got = true;
#elif defined(BROKEN_NO_RETRY)
                        assert(!event);
#else
                        atomic {
                            if
                            :: event -> event = false; got = true
                            :: else -> assert(!event)
                            fi
                        }
#endif
                        break
                    :: !clientDead -> skip      /* keep waiting */
                    :: !clientDead ->           /* a live holder kept it too long */
                        pending = true;
                        break
                    fi
                od
#endif
            :: else -> skip
            fi
        fi;
        if
        :: got ->
            Enter();
            inside--;
            Release(mustSet)
        :: else -> skip  /* gave up: the record is dropped, the data not touched */
        fi;
#ifndef BROKEN_UNSERIALISED
        slotBusy = 0;
#endif
progress_round:
        round++
    :: else -> break
    od;
    finished++
}

init {
    atomic {
        run Server();
        run Server()
    }
    /* Everyone else has ended: a client that was not killed left the word as
       the counts say. */
    (finished == 4);
    assert(clientKilled || lockWord == (pending -> 0 : -1))
}
