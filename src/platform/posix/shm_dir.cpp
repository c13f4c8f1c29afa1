// The directory that holds this system's named objects on POSIX, and the checks
// every object in it must pass. /dev/shm is writable by every user, so a name
// there could be taken in advance by anyone; names inside a directory that only
// the service owner (and its group) can write cannot. The directory is found
// once per process, the same way by every process of the owner, and a directory
// another user put at its name only moves us on to the next candidate name.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/atomic.h"
#include "platform/posix/internal.h"
#include "platform/posix/shm_path.h"

namespace {

// Candidate names: "kqvxi-<uid>" and then "kqvxi-<uid>~1" ... "~63".
constexpr int DIR_CANDIDATES = 64;

// Longest namespace word accepted (before escaping).
constexpr std::size_t MAX_NAMESPACE = 64;

// Where objects live, once resolved. Written under dirLock before resolved is
// set (release), and never again: readers that see resolved read it without the
// lock (so a child forked while another thread held the lock still gets on).
// Until a resolution succeeds, a process started before the owner made the
// directory tries again at its next open.
struct ShmDirState {
    int fd;           // the directory, O_DIRECTORY | O_NOFOLLOW, close-on-exec
    uid_t owner;      // the service owner
    gid_t group;      // the service group when grouped
    bool grouped;     // KQVXI_SERVICE_GROUP given: 0770 / 0660
    char path[1024];  // full path of the directory, for tests and messages
};

std::mutex dirLock;
ShmDirState dirState{-1, 0, 0, false, {}};
std::int32_t resolved = 0;

// Parses a user given by name or number; false when unknown.
bool ParseUser(const char* text, uid_t* out) {
    char* end = nullptr;
    unsigned long n = std::strtoul(text, &end, 10);
    if (*text != 0 && *end == 0) {
        *out = static_cast<uid_t>(n);
        return true;
    }
    passwd pw{};
    passwd* found = nullptr;
    char buf[4096];
    if (getpwnam_r(text, &pw, buf, sizeof buf, &found) != 0 || found == nullptr) {
        return false;
    }
    *out = pw.pw_uid;
    return true;
}

// Parses a group given by name or number; false when unknown.
bool ParseGroup(const char* text, gid_t* out) {
    char* end = nullptr;
    unsigned long n = std::strtoul(text, &end, 10);
    if (*text != 0 && *end == 0) {
        *out = static_cast<gid_t>(n);
        return true;
    }
    group gr{};
    group* found = nullptr;
    char buf[4096];
    if (getgrnam_r(text, &gr, buf, sizeof buf, &found) != 0 || found == nullptr) {
        return false;
    }
    *out = gr.gr_gid;
    return true;
}

// Appends the namespace word to out: letters, digits and '-' stand for
// themselves, every other byte (including '_') becomes "_xx", so distinct words
// give distinct directories. False when the word is empty or too long.
bool AppendNamespace(const char* word, char* out, std::size_t outSize) {
    static const char hex[] = "0123456789abcdef";
    std::size_t len = std::strlen(out);
    std::size_t wordLen = std::strlen(word);
    if (wordLen == 0 || wordLen > MAX_NAMESPACE || len + 1 + 3 * wordLen + 1 > outSize) {
        return false;
    }
    out[len++] = '.';
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(word); *p != 0; ++p) {
        unsigned char c = *p;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-') {
            out[len++] = static_cast<char>(c);
        } else {
            out[len++] = '_';
            out[len++] = hex[c >> 4];
            out[len++] = hex[c & 15];
        }
    }
    out[len] = 0;
    return true;
}

mode_t DirMode(const ShmDirState& s) {
    return s.grouped ? 0770 : 0700;
}

// True when the directory open on fd is ours: a directory of the owner with
// exactly our mode (and group), nothing else.
bool DirIsOurs(int fd, const ShmDirState& s) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == s.owner &&
           (st.st_mode & 07777) == DirMode(s) && (!s.grouped || st.st_gid == s.group);
}

// Opens candidate name under base without following a link; -1 when missing or
// not a directory.
int OpenCandidate(int base, const char* name) {
    return openat(base, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

void CandidateName(const char* stem, int index, char* out, std::size_t outSize) {
    if (index == 0) {
        std::snprintf(out, outSize, "%s", stem);
    } else {
        std::snprintf(out, outSize, "%s~%d", stem, index);
    }
}

// Finds or makes the directory; fills s and returns true, or false with errno.
bool Resolve(ShmDirState* s) {
    const char* base = std::getenv("KQVXI_SHM_DIR");
    if (base == nullptr || *base == 0) {
        base = "/dev/shm";
    }
    s->owner = geteuid();
    const char* user = std::getenv("KQVXI_SERVICE_USER");
    if (user != nullptr && *user != 0 && !ParseUser(user, &s->owner)) {
        errno = EINVAL;
        return false;
    }
    s->grouped = false;
    const char* groupText = std::getenv("KQVXI_SERVICE_GROUP");
    if (groupText != nullptr && *groupText != 0) {
        if (!ParseGroup(groupText, &s->group)) {
            errno = EINVAL;
            return false;
        }
        s->grouped = true;
    }
    char stem[256];
    std::snprintf(stem, sizeof stem, "kqvxi-%lu", static_cast<unsigned long>(s->owner));
    const char* word = std::getenv("KQVXI_NAMESPACE");
    if (word != nullptr && *word != 0 && !AppendNamespace(word, stem, sizeof stem - 4)) {
        errno = ENAMETOOLONG;
        return false;
    }
    int baseFd = open(base, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (baseFd < 0) {
        return false;
    }
    char name[300];
    int found = -1;
    // Every process of the owner takes the first candidate that exists and is
    // ours, so all of them agree while names before it stay taken by others.
    for (int i = 0; i < DIR_CANDIDATES && found < 0; ++i) {
        CandidateName(stem, i, name, sizeof name);
        int fd = OpenCandidate(baseFd, name);
        if (fd >= 0 && DirIsOurs(fd, *s)) {
            found = fd;
        } else if (fd >= 0) {
            close(fd);
        }
    }
    // None yet: the owner (or root acting for it) makes the first free one. Two
    // processes racing here both end on the one whose mkdir won.
    bool mayCreate = geteuid() == s->owner || geteuid() == 0;
    for (int i = 0; i < DIR_CANDIDATES && found < 0 && mayCreate; ++i) {
        CandidateName(stem, i, name, sizeof name);
        bool made = mkdirat(baseFd, name, 0700) == 0;
        if (!made && errno != EEXIST) {
            continue;
        }
        int fd = OpenCandidate(baseFd, name);
        if (fd < 0) {
            continue;
        }
        if (made) {
            // mkdir's mode passed through the umask, and the group is the
            // creator's: set both to what every user of the directory expects.
            bool fixed = true;
            if (geteuid() != s->owner || s->grouped) {
                fixed = fchown(fd, s->owner, s->grouped ? s->group : static_cast<gid_t>(-1)) == 0;
            }
            fixed = fixed && fchmod(fd, DirMode(*s)) == 0;
            (void)fixed;  // checked below like any directory found there
        }
        if (DirIsOurs(fd, *s)) {
            found = fd;
        } else {
            close(fd);
        }
    }
    close(baseFd);
    if (found < 0) {
        errno = mayCreate ? EACCES : ENOENT;
        return false;
    }
    s->fd = found;
    std::snprintf(s->path, sizeof s->path, "%s/%s", base, name);
    return true;
}

// Resolves on first use (and after a failed one); -1 with errno on failure.
int DirFd(ShmDirState* copy) {
    if (OsAtomicLoad(&resolved) == 0) {
        std::lock_guard<std::mutex> guard(dirLock);
        if (OsAtomicLoadRelaxed(&resolved) == 0) {
            ShmDirState fresh{-1, 0, 0, false, {}};
            if (!Resolve(&fresh)) {
                return -1;
            }
            dirState = fresh;
            OsAtomicStore(&resolved, 1);
        }
    }
    if (copy != nullptr) {
        *copy = dirState;
    }
    return dirState.fd;
}

}  // namespace

int px_shm_dir_fd() {
    return DirFd(nullptr);
}

mode_t px_shm_object_mode() {
    ShmDirState s{};
    return DirFd(&s) >= 0 && s.grouped ? 0660 : 0600;
}

bool px_shm_adopt(int fd, bool created) {
    ShmDirState s{};
    if (DirFd(&s) < 0) {
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return false;
    }
    const mode_t want = s.grouped ? 0660 : 0600;
    if (created && S_ISREG(st.st_mode)) {
        // Just made by this open: the umask and the creator's group may have
        // narrowed what the other users of the directory need.
        if (s.grouped && st.st_gid != s.group && fchown(fd, static_cast<uid_t>(-1), s.group) == 0) {
            st.st_gid = s.group;
        }
        if ((st.st_mode & 07777) != want && fchmod(fd, want) == 0) {
            st.st_mode = (st.st_mode & ~07777u) | want;
        }
    }
    // Anything else is refused, never adopted: it could have been put there to
    // catch this process's objects. With a service group, a member's object (a
    // client's block) carries the group: only members can create names here.
    const bool trustedOwner =
        st.st_uid == s.owner || st.st_uid == geteuid() || (s.grouped && st.st_gid == s.group);
    if (!S_ISREG(st.st_mode) || !trustedOwner || (st.st_mode & 07007) != 0) {
        errno = EACCES;
        return false;
    }
    return true;
}

bool px_shm_dir_path(char* out, std::size_t outSize) {
    ShmDirState s{};
    if (DirFd(&s) < 0) {
        return false;
    }
    return static_cast<std::size_t>(std::snprintf(out, outSize, "%s", s.path)) < outSize;
}

bool px_shm_path(const char* kind, const char* name, char* out, std::size_t outSize) {
    PxShmKind k;
    if (std::strcmp(kind, "map") == 0) {
        k = PX_SHM_MAPPING;
    } else if (std::strcmp(kind, "evt") == 0) {
        k = PX_SHM_EVENT;
    } else if (std::strcmp(kind, "mtx") == 0) {
        k = PX_SHM_MUTEX;
    } else {
        errno = EINVAL;
        return false;
    }
    char posixName[256];
    char dir[1024];
    if (!px_shm_name(k, name, posixName, sizeof posixName) || !px_shm_dir_path(dir, sizeof dir)) {
        return false;
    }
    // posixName starts with '/', which joins it to the directory.
    return static_cast<std::size_t>(std::snprintf(out, outSize, "%s%s", dir, posixName)) < outSize;
}
