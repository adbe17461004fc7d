/* System calls that fail on request, for a child interpreter that preloads this library: the
 * save tests reach through it the paths a real disk rarely takes.
 *
 * Only calls on paths inside the directory QUILLKIT_FAULT_DIR names, and on descriptors opened
 * on such paths, are counted, so the interpreter's own work goes by untouched.
 *
 * QUILLKIT_FAULT holds "<serial>;<rule>;<rule>...", each rule "<call> <nth> <action>": the nth
 * counted call of that family ("*": every one) does the action instead of its work (an open
 * with O_CREAT is of the family "create"):
 *   <errno number>  fails with it (close closes the descriptor first, as Linux's does);
 *   eintr           fails with EINTR (close again closes first: the descriptor is gone);
 *   short           writes half of what was asked (write and pwrite).
 * The counts start again whenever the value changes; the serial makes each setting new.
 * QUILLKIT_FAULT_TRACE names a file that gets one line per counted call: the family's name.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum family { OPEN, CREATE, PREAD, WRITE, PWRITE, FSYNC, FDATASYNC, FALLOCATE, FTRUNCATE, RENAME,
              CLOSE, FCHMOD, FCHOWN, UNLINK, LINKAT, FSTAT, STAT, LSTAT, READLINK, FAMILIES };
static const char* const family_names[FAMILIES] = {
    "open", "create", "pread", "write", "pwrite", "fsync", "fdatasync", "fallocate", "ftruncate",
    "rename", "close", "fchmod", "fchown", "unlink", "linkat", "fstat", "stat", "lstat", "readlink"};

enum action { NONE, FAIL, INTERRUPT, SHORT };
struct rule { int family; long nth; int action; int error; };

#define MAX_RULES 8
#define MAX_TRACKED 4096
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static char setting[512];
static struct rule rules[MAX_RULES];
static int rule_count;
static long counts[FAMILIES];
static unsigned char tracked[MAX_TRACKED];  /* descriptors opened inside the directory */

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static int inside(const char* path) {
    const char* directory = getenv("QUILLKIT_FAULT_DIR");
    if (!directory || !path) return 0;
    const size_t length = strlen(directory);
    return strncmp(path, directory, length) == 0 && path[length] == '/';
}

static int is_tracked(int fd) { return fd >= 0 && fd < MAX_TRACKED && tracked[fd]; }

static void parse(const char* value) {
    rule_count = 0;
    memset(counts, 0, sizeof counts);
    snprintf(setting, sizeof setting, "%s", value ? value : "");
    char copy[sizeof setting];
    memcpy(copy, setting, sizeof copy);
    char* saved = NULL;
    strtok_r(copy, ";", &saved);  /* the serial */
    for (char* text = strtok_r(NULL, ";", &saved); text && rule_count < MAX_RULES;
         text = strtok_r(NULL, ";", &saved)) {
        char name[32], nth[32], action[32];
        if (sscanf(text, "%31s %31s %31s", name, nth, action) != 3) continue;
        struct rule rule = {-1, strcmp(nth, "*") == 0 ? 0 : atol(nth), FAIL, atoi(action)};
        for (int family = 0; family < FAMILIES; ++family) {
            if (strcmp(name, family_names[family]) == 0) rule.family = family;
        }
        if (strcmp(action, "eintr") == 0) rule.action = INTERRUPT;
        if (strcmp(action, "short") == 0) rule.action = SHORT;
        if (rule.family >= 0) rules[rule_count++] = rule;
    }
}

static void trace(int family) {
    const char* file = getenv("QUILLKIT_FAULT_TRACE");
    if (!file) return;
    const int fd = REAL(open)(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    char line[40];
    const int length = snprintf(line, sizeof line, "%s\n", family_names[family]);
    if (REAL(write)(fd, line, (size_t)length) < 0) { /* the trace is best effort */ }
    REAL(close)(fd);
}

/* Counts a call of `family` and gives what it must do instead (NONE: its work). */
static struct rule decide(int family) {
    struct rule chosen = {family, 0, NONE, 0};
    const int saved_errno = errno;
    pthread_mutex_lock(&lock);
    const char* value = getenv("QUILLKIT_FAULT");
    if (strcmp(value ? value : "", setting) != 0) parse(value);
    const long count = ++counts[family];
    for (int index = 0; index < rule_count; ++index) {
        if (rules[index].family == family && (rules[index].nth == 0 || rules[index].nth == count)) {
            chosen = rules[index];
            break;
        }
    }
    pthread_mutex_unlock(&lock);
    trace(family);
    errno = saved_errno;
    return chosen;
}

static int failed(struct rule rule) {
    errno = rule.action == INTERRUPT ? EINTR : rule.error;
    return -1;
}

static int opened(const char* path, int fd) {
    if (fd >= 0 && fd < MAX_TRACKED) tracked[fd] = (unsigned char)inside(path);
    return fd;
}

/* One body for each shape of call; the 64-bit names are the same calls. */
#define PATH_CALL(family, type, name, params, args, path)                         \
    type name params {                                                            \
        if (inside(path)) {                                                       \
            const struct rule rule = decide(family);                              \
            if (rule.action == FAIL || rule.action == INTERRUPT) return failed(rule); \
        }                                                                         \
        return REAL(name) args;                                                   \
    }
#define FD_CALL(family, type, name, params, args, fd)                             \
    type name params {                                                            \
        if (is_tracked(fd)) {                                                     \
            const struct rule rule = decide(family);                              \
            if (rule.action == FAIL || rule.action == INTERRUPT) return failed(rule); \
        }                                                                         \
        return REAL(name) args;                                                   \
    }

/* An open that may make the file counts as "create", any other as "open". */
static int open_family(int flags) { return flags & O_CREAT ? CREATE : OPEN; }

static int open_with(int (*real)(const char*, int, ...), const char* path, int flags, mode_t mode) {
    if (inside(path)) {
        const struct rule rule = decide(open_family(flags));
        if (rule.action == FAIL || rule.action == INTERRUPT) return failed(rule);
    }
    return opened(path, real(path, flags, mode));
}
static int openat_with(int (*real)(int, const char*, int, ...), int dirfd, const char* path,
                       int flags, mode_t mode) {
    if (inside(path)) {
        const struct rule rule = decide(open_family(flags));
        if (rule.action == FAIL || rule.action == INTERRUPT) return failed(rule);
    }
    return opened(path, real(dirfd, path, flags, mode));
}
#define MODE_ARGUMENT(flags)                                               \
    mode_t mode = 0;                                                       \
    if ((flags) & (O_CREAT | O_TMPFILE)) {                                 \
        va_list arguments;                                                 \
        va_start(arguments, flags);                                        \
        mode = va_arg(arguments, mode_t);                                  \
        va_end(arguments);                                                 \
    }
int open(const char* path, int flags, ...) { MODE_ARGUMENT(flags) return open_with(REAL(open), path, flags, mode); }
int open64(const char* path, int flags, ...) { MODE_ARGUMENT(flags) return open_with(REAL(open64), path, flags, mode); }
int __open_2(const char* path, int flags) { return open_with(REAL(open), path, flags, 0); }
int __open64_2(const char* path, int flags) { return open_with(REAL(open64), path, flags, 0); }
int openat(int dirfd, const char* path, int flags, ...) {
    MODE_ARGUMENT(flags) return openat_with(REAL(openat), dirfd, path, flags, mode);
}
int openat64(int dirfd, const char* path, int flags, ...) {
    MODE_ARGUMENT(flags) return openat_with(REAL(openat64), dirfd, path, flags, mode);
}

static ssize_t write_with(int family, ssize_t (*real)(int, const void*, size_t, off_t), int fd,
                          const void* data, size_t size, off_t offset) {
    if (is_tracked(fd)) {
        const struct rule rule = decide(family);
        if (rule.action == FAIL || rule.action == INTERRUPT) return failed(rule);
        if (rule.action == SHORT && size > 1) size /= 2;
    }
    return real(fd, data, size, offset);
}
static ssize_t plain_write(int fd, const void* data, size_t size, off_t offset) {
    (void)offset;
    return REAL(write)(fd, data, size);
}
static ssize_t positioned_write(int fd, const void* data, size_t size, off_t offset) {
    return REAL(pwrite)(fd, data, size, offset);
}
ssize_t write(int fd, const void* data, size_t size) { return write_with(WRITE, plain_write, fd, data, size, 0); }
ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    return write_with(PWRITE, positioned_write, fd, data, size, offset);
}
ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
    return write_with(PWRITE, positioned_write, fd, data, size, offset);
}

int close(int fd) {
    if (!is_tracked(fd)) return REAL(close)(fd);
    tracked[fd] = 0;
    const struct rule rule = decide(CLOSE);
    const int result = REAL(close)(fd);  /* Linux frees the descriptor whatever close reports */
    return rule.action == FAIL || rule.action == INTERRUPT ? failed(rule) : result;
}

FD_CALL(PREAD, ssize_t, pread, (int fd, void* data, size_t size, off_t at), (fd, data, size, at), fd)
FD_CALL(PREAD, ssize_t, pread64, (int fd, void* data, size_t size, off64_t at), (fd, data, size, at), fd)
FD_CALL(FSYNC, int, fsync, (int fd), (fd), fd)
FD_CALL(FDATASYNC, int, fdatasync, (int fd), (fd), fd)
FD_CALL(FALLOCATE, int, fallocate, (int fd, int mode, off_t at, off_t length), (fd, mode, at, length), fd)
FD_CALL(FALLOCATE, int, fallocate64, (int fd, int mode, off64_t at, off64_t length), (fd, mode, at, length), fd)
FD_CALL(FTRUNCATE, int, ftruncate, (int fd, off_t length), (fd, length), fd)
FD_CALL(FTRUNCATE, int, ftruncate64, (int fd, off64_t length), (fd, length), fd)
FD_CALL(FCHMOD, int, fchmod, (int fd, mode_t mode), (fd, mode), fd)
FD_CALL(FCHOWN, int, fchown, (int fd, uid_t owner, gid_t group), (fd, owner, group), fd)
FD_CALL(FSTAT, int, fstat, (int fd, struct stat* info), (fd, info), fd)
FD_CALL(FSTAT, int, fstat64, (int fd, struct stat64* info), (fd, info), fd)
PATH_CALL(RENAME, int, rename, (const char* from, const char* to), (from, to), to)
PATH_CALL(RENAME, int, renameat, (int from_dir, const char* from, int to_dir, const char* to),
          (from_dir, from, to_dir, to), to)
PATH_CALL(RENAME, int, renameat2,
          (int from_dir, const char* from, int to_dir, const char* to, unsigned int flags),
          (from_dir, from, to_dir, to, flags), to)
PATH_CALL(UNLINK, int, unlink, (const char* path), (path), path)
PATH_CALL(UNLINK, int, unlinkat, (int dirfd, const char* path, int flags), (dirfd, path, flags), path)
PATH_CALL(LINKAT, int, linkat, (int from_dir, const char* from, int to_dir, const char* to, int flags),
          (from_dir, from, to_dir, to, flags), to)
PATH_CALL(STAT, int, stat, (const char* path, struct stat* info), (path, info), path)
PATH_CALL(STAT, int, stat64, (const char* path, struct stat64* info), (path, info), path)
PATH_CALL(LSTAT, int, lstat, (const char* path, struct stat* info), (path, info), path)
PATH_CALL(LSTAT, int, lstat64, (const char* path, struct stat64* info), (path, info), path)
PATH_CALL(READLINK, ssize_t, readlink, (const char* path, char* buffer, size_t size), (path, buffer, size), path)
