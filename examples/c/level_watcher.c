/* level_watcher: prints the level events (class 7) of one index of a controller.
 *
 *     level_watcher [-c CONTROLLER] [-i INDEX] [-l LEVELMASK] [-n COUNT] [-t SECONDS] [-r]
 *
 * Registers with the controller's kqvxi server, selects the levels of LEVELMASK
 * (bit n-1 selects level n; default all seven) at INDEX (default 0), and prints
 * one line per record until COUNT records arrived, SECONDS passed without a
 * record, or the server ended. -r registers again when the server restarts.
 * Ends with a summary of what arrived and what was dropped.
 * Exit status: 0 done, 1 a failure of the library, 2 bad arguments.
 */
#include <kqvxi/kqvxi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int Usage(void) {
    fprintf(stderr,
            "usage: level_watcher [-c CONTROLLER] [-i INDEX] [-l LEVELMASK] "
            "[-n COUNT] [-t SECONDS] [-r]\n");
    return 2;
}

/* Reads an unsigned number (decimal or 0x hex) no larger than max. */
static int ParseNumber(const char* text, unsigned long max, unsigned long* out) {
    char* end = NULL;
    if (text == NULL || *text == '\0' || *text == '-') {
        return 0;
    }
    *out = strtoul(text, &end, 0);
    return *end == '\0' && *out <= max;
}

static int Fail(const char* what, int status) {
    fprintf(stderr, "level_watcher: %s: %s\n", what, kqvxi_strerror(status));
    return 1;
}

int main(int argc, char** argv) {
    unsigned long controller = 1, index = 0, levels = KQVXI_ALL_LEVELS, count = 0, seconds = 0;
    int reregister = 0;
    for (int i = 1; i < argc; ++i) {
        const char* value = i + 1 < argc ? argv[i + 1] : NULL;
        int ok = 1;
        if (strcmp(argv[i], "-r") == 0) {
            reregister = 1;
            continue;
        }
        if (strcmp(argv[i], "-c") == 0) {
            ok = ParseNumber(value, 65535, &controller);
        } else if (strcmp(argv[i], "-i") == 0) {
            ok = ParseNumber(value, KQVXI_LEVEL_INDEXES - 1, &index);
        } else if (strcmp(argv[i], "-l") == 0) {
            ok = ParseNumber(value, KQVXI_ALL_LEVELS, &levels) && levels != 0;
        } else if (strcmp(argv[i], "-n") == 0) {
            ok = ParseNumber(value, 1000000000, &count);
        } else if (strcmp(argv[i], "-t") == 0) {
            ok = ParseNumber(value, 86400, &seconds);
        } else {
            ok = 0;
        }
        if (!ok) {
            return Usage();
        }
        ++i;
    }

    kqvxi_options options;
    kqvxi_options_init(&options);
    if (reregister) {
        options.flags |= KQVXI_OPEN_REREGISTER;
    }
    kqvxi_client* client = NULL;
    int rc = kqvxi_client_open((uint16_t)controller, &options, &client);
    if (rc < 0) {
        return Fail("register", rc);
    }
    rc = kqvxi_select_levels(client, (uint32_t)index, (uint32_t)levels, 1);
    if (rc < 0) {
        kqvxi_client_free(client);
        return Fail("select", rc);
    }
    printf("watching controller %lu index %lu levels 0x%02lx\n", controller, index, levels);
    fflush(stdout);

    /* Class 1 records reach every client: only class 7 is printed. */
    const uint32_t wait_ms = seconds ? (uint32_t)(seconds * 1000) : KQVXI_INFINITE;
    unsigned long seen = 0;
    int status = 0;
    kqvxi_event events[32];
    while (count == 0 || seen < count) {
        int n = kqvxi_client_read(client, events, 32, wait_ms);
        if (n == 0) {
            printf("no record for %lu s\n", seconds);
            break;
        }
        if (n == KQVXI_E_RESTARTED) {
            printf("the server restarted; records in between were lost\n");
            continue;
        }
        if (n == KQVXI_E_SERVER_GONE) {
            printf("the server ended\n");
            break;
        }
        if (n < 0) {
            status = Fail("read", n);
            break;
        }
        for (int i = 0; i < n && (count == 0 || seen < count); ++i) {
            if (events[i].cls == KQVXI_CLASS_LEVEL) {
                printf("index %d level %u value 0x%x\n", events[i].index, events[i].level,
                       events[i].value);
                ++seen;
            }
        }
        fflush(stdout);
    }

    kqvxi_stats stats;
    if (kqvxi_client_stats(client, &stats) == KQVXI_OK) {
        printf("received %llu dropped %llu (ring full %llu)\n", (unsigned long long)stats.received,
               (unsigned long long)stats.dropped, (unsigned long long)stats.dropped_full);
    }
    kqvxi_client_free(client);
    return status;
}
