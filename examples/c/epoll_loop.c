/* epoll_loop: a kqvxi client inside an event loop with two other descriptors
 * (Linux).
 *
 *     epoll_loop [-c CONTROLLER] [-n COUNT] [-p TICK_MS]
 *
 * One epoll set watches three descriptors: the client's (records may be
 * waiting), a timerfd that prints the client's counters every TICK_MS
 * milliseconds (default 1000) and reads too, to notice a server that ended,
 * and standard input, where a line "quit" or the end of input ends the loop. Every flag class is
 * selected; each record is printed as "record <class> <arg1> <arg2> <arg3>". Ends after COUNT
 * records when COUNT is given. Exit status: 0 done, 1 a failure, 2 bad arguments.
 */
#include <errno.h>
#include <kqvxi/kqvxi.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

static int Fail(const char* what, int status) {
    fprintf(stderr, "epoll_loop: %s: %s\n", what, kqvxi_strerror(status));
    return 1;
}

static int Watch(int epfd, int fd) {
    struct epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev);
}

/* Takes every waiting record; the descriptor is re-armed once a read returns 0.
   Returns the number printed, or a negative status. */
static long Drain(kqvxi_client* client) {
    kqvxi_event events[32];
    long total = 0;
    for (;;) {
        int n = kqvxi_client_read(client, events, 32, 0);
        if (n == 0) {
            return total;
        }
        if (n == KQVXI_E_RESTARTED) {
            continue;
        }
        if (n < 0) {
            return n;
        }
        for (int i = 0; i < n; ++i) {
            printf("record %d 0x%x 0x%x 0x%x\n", events[i].cls, events[i].raw.arg1,
                   events[i].raw.arg2, events[i].raw.arg3);
        }
        total += n;
    }
}

int main(int argc, char** argv) {
    long controller = 1, count = 0, tick_ms = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        long v = strtol(argv[i + 1], NULL, 0);
        if (strcmp(argv[i], "-c") == 0 && v >= 0 && v <= 65535) {
            controller = v;
        } else if (strcmp(argv[i], "-n") == 0 && v >= 0) {
            count = v;
        } else if (strcmp(argv[i], "-p") == 0 && v > 0) {
            tick_ms = v;
        } else {
            fprintf(stderr, "usage: epoll_loop [-c CONTROLLER] [-n COUNT] [-p TICK_MS]\n");
            return 2;
        }
    }
    if (argc % 2 == 0) {
        fprintf(stderr, "usage: epoll_loop [-c CONTROLLER] [-n COUNT] [-p TICK_MS]\n");
        return 2;
    }

    kqvxi_client* client = NULL;
    int rc = kqvxi_client_open((uint16_t)controller, NULL, &client);
    if (rc < 0) {
        return Fail("register", rc);
    }
    const int classes[] = {0, 2, 3, 4, 5, KQVXI_CLASS_SOURCE};
    for (size_t i = 0; i < sizeof classes / sizeof classes[0] && rc >= 0; ++i) {
        rc = kqvxi_select_class(client, classes[i], 1);
    }
    intptr_t descriptor = -1;
    if (rc >= 0) {
        rc = kqvxi_client_descriptor(client, &descriptor);
    }
    if (rc < 0) {
        kqvxi_client_free(client);
        return Fail("set up", rc);
    }
    const int client_fd = (int)descriptor;

    int timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    struct itimerspec period;
    memset(&period, 0, sizeof period);
    period.it_interval.tv_sec = tick_ms / 1000;
    period.it_interval.tv_nsec = (tick_ms % 1000) * 1000000L;
    period.it_value = period.it_interval;
    int epfd = epoll_create1(EPOLL_CLOEXEC);
    if (timer_fd < 0 || epfd < 0 || timerfd_settime(timer_fd, 0, &period, NULL) < 0 ||
        Watch(epfd, client_fd) < 0 || Watch(epfd, timer_fd) < 0) {
        perror("epoll_loop");
        kqvxi_client_free(client);
        return 1;
    }
    /* A regular file or /dev/null cannot be watched (EPERM): then only COUNT ends. */
    if (Watch(epfd, STDIN_FILENO) < 0 && errno != EPERM) {
        perror("epoll_loop: stdin");
        kqvxi_client_free(client);
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    long received = 0;
    int status = 0, running = 1;
    while (running && (count == 0 || received < count)) {
        struct epoll_event ready[3];
        int n = epoll_wait(epfd, ready, 3, -1);
        if (n < 0) {
            perror("epoll_wait");
            status = 1;
            break;
        }
        for (int i = 0; i < n; ++i) {
            int fd = ready[i].data.fd;
            if (fd == client_fd || fd == timer_fd) {
                /* The descriptor tells of records only: the read on each tick
                   also finds a server that ended or restarted. */
                long got = Drain(client);
                if (got == KQVXI_E_SERVER_GONE) {
                    printf("the server ended\n");
                    running = 0;
                } else if (got < 0) {
                    status = Fail("read", (int)got);
                    running = 0;
                } else {
                    received += got;
                }
            }
            if (fd == timer_fd && running) {
                uint64_t expirations = 0;
                if (read(timer_fd, &expirations, sizeof expirations) < 0) {
                    expirations = 0;
                }
                kqvxi_stats s;
                if (kqvxi_client_stats(client, &s) == KQVXI_OK) {
                    printf("tick received %llu dropped %llu\n", (unsigned long long)s.received,
                           (unsigned long long)s.dropped);
                }
            } else if (fd == STDIN_FILENO) {
                char line[128];
                ssize_t len = read(STDIN_FILENO, line, sizeof line - 1);
                if (len <= 0) {
                    printf("end of input\n");
                    running = 0;
                } else {
                    line[len] = '\0';
                    if (strncmp(line, "quit", 4) == 0) {
                        running = 0;
                    }
                }
            }
        }
        fflush(stdout);
    }
    printf("received %ld\n", received);
    close(epfd);
    close(timer_fd);
    kqvxi_client_free(client);
    return status;
}
