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
 * no hand-over is pending.
 *
 * Checked:
 *  - mutual exclusion: at most one party inside; a client killed inside stays
 *    counted, so nobody may enter after it (assertion);
 *  - no lost hand-over: a server waiter never gives up while a hand-over is
 *    pending (assertion), and no live waiter is left blocked (no invalid end
 *    state, no non-progress cycle);
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
    clientDead = true  /* killed, or ended on its own */
}

/* Kills the client at any moment, or never. */
active proctype Killer() {
    if
    :: clientDead = true
    :: skip
    fi
}

proctype Server() {
    byte round = 0;
    bool mustWait;
    bool mustSet;
    bool got;
    do
    :: round < SERVER_ROUNDS ->
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
                :: else -> skip
                fi
            od
#endif
        :: else -> skip
        fi;
        if
        :: got ->
            Enter();
            inside--;
            Release(mustSet)
        :: else -> skip  /* gave up: the block is dead, its data is not touched */
        fi;
progress_round:
        round++
    :: else -> break
    od
}

init {
    atomic {
        run Server();
        run Server()
    }
}
