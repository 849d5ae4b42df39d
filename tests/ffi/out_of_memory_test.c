/*
 * Memory running out on the calling thread, as a host sees it through the C header: for each
 * exported function, every allocation that the function makes on the calling thread is made to
 * fail in turn, and after each such call
 *   - the process is alive (no exception escaped, no destructor threw),
 *   - the function returned success or its documented failure (-2, or NULL for a pointer),
 *   - no descriptor is left open (/proc/self/fd before and after, with every handle freed),
 *   - the fixed UDP port of the agents is free again,
 * and once every count has been tried, one normal start, status, shutdown and free still works.
 *
 * The allocation shim below replaces malloc and its relatives for the whole process: the
 * library's C++ allocations reach it through libstdc++'s operator new, which calls malloc. It
 * counts only the allocations of the thread that armed it and fails the Nth of them once; the
 * runtime's threads allocate unhindered, which is what the header promises about.
 *
 * How many counts are tried: a function is first run with the shim counting only, which gives
 * the number of allocations it makes when nothing fails. Every count up to DENSE_COUNTS is then
 * tried, and above it about STRIDE_TRIES counts spread evenly up to the total (the agent's start
 * makes thousands; trying each would take minutes). QUORVEL_OOM_DENSE raises the first bound
 * for a longer run.
 *
 * Each function's tries run in a child process, so that one that ends the process is reported
 * with the count that ended it and the other functions are still tried.
 *
 * ctest runs it twice: at the default log level and with QUORVEL_LOG=trace, where every log line
 * on the calling thread is written and so has its allocations failed in turn as well.
 *
 * Usage: quorvel_out_of_memory_test [FUNCTION...]; without arguments every function is tried.
 */
#define _GNU_SOURCE

#include <quorvel/agent.h>

#include "host_files.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

/* ---- the allocation shim ---- */

/* Per thread: whether the shim counts here, how many allocations it counted, and which one
 * fails (0: none). */
static __thread int shim_armed;
static __thread long shim_count;
static __thread long shim_fail_at;

/* Under AddressSanitizer or ThreadSanitizer the sanitizer owns malloc: the test skips there. */
#ifndef QUORVEL_SANITIZER_OWNS_MALLOC
extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* old, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);

static int shim_refuses(void) {
    if (!shim_armed) {
        return 0;
    }
    return ++shim_count == shim_fail_at;
}

void* malloc(size_t size) {
    if (shim_refuses()) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    if (shim_refuses()) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_calloc(count, size);
}

void* realloc(void* old, size_t size) {
    if (shim_refuses()) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_realloc(old, size);
}

void* memalign(size_t alignment, size_t size) {
    if (shim_refuses()) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    return memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    void* block = memalign(alignment, size);
    if (block == NULL) {
        return ENOMEM;
    }
    *out = block;
    return 0;
}
#endif

/* Counts from now on; fails allocation `fail_at` (0: none). */
static void shim_arm(long fail_at) {
    shim_count = 0;
    shim_fail_at = fail_at;
    shim_armed = 1;
}

/* Stops counting; the number counted. */
static long shim_disarm(void) {
    shim_armed = 0;
    return shim_count;
}

/* ---- checks and helpers ---- */

static int failures = 0;
static char temp_dir[256];
static char config_path[320];   /* an existing configuration, rewritten by each setup */
static char generate_path[320]; /* where a new configuration is generated */
static char* config_template;   /* the text of a configuration without networks */
static unsigned udp_port;
static long current_try; /* which count the check messages are about */

#define CHECK(cond)                                                                              \
    do {                                                                                         \
        if (!(cond)) {                                                                           \
            printf("%s:%d: with allocation %ld failing: check failed: %s\n", __FILE__, __LINE__, \
                   current_try, #cond);                                                          \
            failures++;                                                                          \
        }                                                                                        \
    } while (0)

static const char* const network_a = "https://net-a.example/config";
static const char* const network_b = "https://net-b.example/config";

/* The open descriptors of the process, as a bit set over the first 1024 numbers. */
typedef struct {
    unsigned char bits[128];
} FdSet;

static FdSet open_fds(void) {
    FdSet set;
    memset(&set, 0, sizeof set);
    DIR* dir = opendir("/proc/self/fd");
    if (dir == NULL) {
        return set;
    }
    int own = dirfd(dir);
    for (struct dirent* entry = readdir(dir); entry != NULL; entry = readdir(dir)) {
        int fd = atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != own && fd >= 0 && fd < 1024) {
            set.bits[fd / 8] |= (unsigned char)(1u << (fd % 8));
        }
    }
    closedir(dir);
    return set;
}

static void check_same_fds(const FdSet* before, const FdSet* after) {
    for (int fd = 0; fd < 1024; fd++) {
        int was = (before->bits[fd / 8] >> (fd % 8)) & 1;
        int is = (after->bits[fd / 8] >> (fd % 8)) & 1;
        if (was != is) {
            char link[64], target[256] = "";
            snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            ssize_t n = readlink(link, target, sizeof target - 1);
            target[n > 0 ? n : 0] = '\0';
            printf("with allocation %ld failing: descriptor %d %s (%s)\n", current_try, fd,
                   is ? "left open" : "closed that was open", target);
            failures++;
        }
    }
}

/* Whether a socket of this process can bind the agents' loopback port now. */
static int port_bindable(void) {
    int probe = socket(AF_INET, SOCK_DGRAM, 0);
    if (probe < 0) {
        return 0;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons((uint16_t)udp_port);
    int bound = bind(probe, (struct sockaddr*)&addr, sizeof addr) == 0;
    close(probe);
    return bound;
}

static unsigned free_loopback_port(void) {
    int probe = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    unsigned port = 0;
    if (probe >= 0 && bind(probe, (struct sockaddr*)&addr, sizeof addr) == 0 &&
        getsockname(probe, (struct sockaddr*)&addr, &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (probe >= 0) {
        close(probe);
    }
    return port;
}

static void ignore_change(const NetworkChangeInfo* info) {
    (void)info;
}

/* ---- the functions under test ---- */

/* What one call gave: success, the documented failure, or anything else (a check failed). */
typedef enum { CALL_OK, CALL_FAILED, CALL_WRONG } Outcome;

/* What the setups make and the calls and clean-ups use. */
typedef struct {
    RuntimePtr* runtime;
    AgentConfigPtr* config;
    AgentPtr* agent;
    TunDevicePtr* device;
    int tun[2];
    struct stat tun_stat;
    int tun_flags;
    NetworkInfo* list;
    int32_t count;
    char* text;
    char* file_before;
    Outcome outcome; /* of the call, for the checks after it */
} Ctx;

static Outcome code_outcome(int32_t code) {
    if (code == QUORVEL_AGENT_OK) {
        return CALL_OK;
    }
    if (code == QUORVEL_AGENT_ERR_FAILURE) {
        return CALL_FAILED;
    }
    printf("with allocation %ld failing: returned %d\n", current_try, (int)code);
    return CALL_WRONG;
}

static void make_runtime(Ctx* c) {
    CHECK(quorvel_agent_runtime(&c->runtime) == QUORVEL_AGENT_OK);
}

static void load_config(Ctx* c) {
    CHECK(quorvel_agent_config_load_or_generate(config_path, &c->config) == QUORVEL_AGENT_OK);
}

static void start_agent(Ctx* c) {
    make_runtime(c);
    load_config(c);
    int32_t code = quorvel_agent_start(c->runtime, c->config, config_path, NULL, ignore_change,
                                       NULL, &c->agent);
    if (code != QUORVEL_AGENT_OK) {
        /* -111: the port of an earlier agent is still bound. */
        printf("with allocation %ld failing: a later start returned %d\n", current_try, (int)code);
        failures++;
    }
}

/* Frees whatever the context still holds, shutting a running agent down first. */
static void release_all(Ctx* c) {
    if (c->agent != NULL) {
        CHECK(quorvel_agent_shutdown(c->runtime, c->agent) == QUORVEL_AGENT_OK);
        quorvel_agent_free(c->agent);
    }
    quorvel_agent_tun_device_free(c->device);
    quorvel_agent_config_networks_free(c->list, c->count);
    quorvel_agent_config_free(c->config);
    quorvel_agent_runtime_free(c->runtime);
    free(c->text);
    free(c->file_before);
    memset(c, 0, sizeof *c);
}

/* The configuration file without networks, then with network A added (and disabled); what
 * the file holds is kept for the check after an edit. */
static void keep_file_text(Ctx* c) {
    free(c->file_before);
    c->file_before = read_file(config_path);
}
static void fresh_file(Ctx* c) {
    CHECK(write_file(config_path, config_template) == 0);
    keep_file_text(c);
}
static void file_with_a(Ctx* c) {
    fresh_file(c);
    CHECK(quorvel_agent_config_network_add(config_path, network_a) == QUORVEL_AGENT_OK);
    keep_file_text(c);
}
static void file_with_a_disabled(Ctx* c) {
    file_with_a(c);
    CHECK(quorvel_agent_config_network_disable(config_path, network_a) == QUORVEL_AGENT_OK);
    keep_file_text(c);
}
static void file_with_two(Ctx* c) {
    file_with_a(c);
    CHECK(quorvel_agent_config_network_add(config_path, network_b) == QUORVEL_AGENT_OK);
}

/* An edit that fails leaves the file as it was. */
static void check_file_kept(Ctx* c) {
    if (c->outcome == CALL_FAILED) {
        char* now = read_file(config_path);
        CHECK(now != NULL && c->file_before != NULL && strcmp(now, c->file_before) == 0);
        free(now);
    }
}

static Outcome call_runtime(Ctx* c) {
    Outcome outcome = code_outcome(quorvel_agent_runtime(&c->runtime));
    CHECK((outcome == CALL_OK) == (c->runtime != NULL));
    return outcome;
}

static Outcome call_runtime_free(Ctx* c) {
    quorvel_agent_runtime_free(c->runtime);
    c->runtime = NULL;
    return CALL_OK;
}

static Outcome call_load(Ctx* c) {
    Outcome outcome = code_outcome(quorvel_agent_config_load_or_generate(config_path, &c->config));
    CHECK((outcome == CALL_OK) == (c->config != NULL));
    return outcome;
}

static void remove_generated(Ctx* c) {
    unlink(generate_path);
    (void)c;
}

static Outcome call_generate(Ctx* c) {
    Outcome outcome =
        code_outcome(quorvel_agent_config_load_or_generate(generate_path, &c->config));
    CHECK((outcome == CALL_OK) == (c->config != NULL));
    return outcome;
}

static Outcome call_id_pk(Ctx* c) {
    uint8_t pk[32] = {0};
    uint8_t zero[32] = {0};
    Outcome outcome = code_outcome(quorvel_agent_config_id_pk(c->config, pk));
    CHECK(outcome != CALL_OK || memcmp(pk, zero, sizeof pk) != 0);
    return outcome;
}

static Outcome call_config_free(Ctx* c) {
    quorvel_agent_config_free(c->config);
    c->config = NULL;
    return CALL_OK;
}

static Outcome call_add(Ctx* c) {
    (void)c;
    return code_outcome(quorvel_agent_config_network_add(config_path, network_a));
}
static Outcome call_remove(Ctx* c) {
    (void)c;
    return code_outcome(quorvel_agent_config_network_remove(config_path, network_a));
}
static Outcome call_enable(Ctx* c) {
    (void)c;
    return code_outcome(quorvel_agent_config_network_enable(config_path, network_a));
}
static Outcome call_disable(Ctx* c) {
    (void)c;
    return code_outcome(quorvel_agent_config_network_disable(config_path, network_a));
}

/* The list, then its accessors, which must read it back whole. */
static Outcome call_networks(Ctx* c) {
    c->count = -7;
    Outcome outcome = code_outcome(quorvel_agent_config_networks(config_path, &c->list, &c->count));
    if (outcome == CALL_FAILED) {
        CHECK(c->list == NULL && c->count == -7);
        c->count = 0;
        return outcome;
    }
    if (outcome == CALL_OK) {
        CHECK(c->count == 2);
        const char* url = quorvel_agent_network_url(c->list, 1);
        CHECK(url != NULL && strcmp(url, network_b) == 0);
        CHECK(quorvel_agent_network_disabled(c->list, 0) == 0);
        CHECK(quorvel_agent_network_name(c->list, 0) == NULL);
    }
    return outcome;
}

static void make_list(Ctx* c) {
    file_with_two(c);
    CHECK(quorvel_agent_config_networks(config_path, &c->list, &c->count) == QUORVEL_AGENT_OK);
}

static Outcome call_networks_free(Ctx* c) {
    quorvel_agent_config_networks_free(c->list, c->count);
    c->list = NULL;
    c->count = 0;
    return CALL_OK;
}

static void make_runtime_and_config(Ctx* c) {
    make_runtime(c);
    load_config(c);
}

static Outcome call_start(Ctx* c) {
    int32_t code = quorvel_agent_start(c->runtime, c->config, config_path, NULL, ignore_change,
                                       NULL, &c->agent);
    Outcome outcome = code_outcome(code);
    CHECK((outcome == CALL_OK) == (c->agent != NULL));
    return outcome;
}

static Outcome call_status(Ctx* c) {
    c->text = quorvel_agent_status(c->runtime, c->agent);
    CHECK(c->text == NULL || strlen(c->text) > 0);
    return c->text != NULL ? CALL_OK : CALL_FAILED;
}

static Outcome call_shutdown(Ctx* c) {
    return code_outcome(quorvel_agent_shutdown(c->runtime, c->agent));
}

static void start_and_shut_down(Ctx* c) {
    start_agent(c);
    CHECK(quorvel_agent_shutdown(c->runtime, c->agent) == QUORVEL_AGENT_OK);
}

static Outcome call_free(Ctx* c) {
    quorvel_agent_free(c->agent);
    c->agent = NULL;
    return CALL_OK;
}

/* The free of a shut-down agent returns once its socket is closed, before the runtime stops. */
static void check_port_free(Ctx* c) {
    (void)c;
    CHECK(port_bindable());
}

static void make_tun(Ctx* c) {
    make_runtime(c);
    CHECK(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, c->tun) == 0);
    CHECK(fstat(c->tun[0], &c->tun_stat) == 0);
    c->tun_flags = fcntl(c->tun[0], F_GETFL);
}

static int descriptor_is_the_tun(const Ctx* c) {
    struct stat now;
    return fstat(c->tun[0], &now) == 0 && now.st_ino == c->tun_stat.st_ino &&
           now.st_dev == c->tun_stat.st_dev;
}

/* On -2 the descriptor is the host's, open and unchanged; on success the device takes it, and
 * the clean-up's device free closes it. */
static Outcome call_tun_create(Ctx* c) {
    Outcome outcome =
        code_outcome(quorvel_agent_tun_device_create(c->runtime, c->tun[0], &c->device));
    CHECK((outcome == CALL_OK) == (c->device != NULL));
    if (outcome == CALL_FAILED) {
        CHECK(descriptor_is_the_tun(c));
        CHECK(fcntl(c->tun[0], F_GETFL) == c->tun_flags);
        close(c->tun[0]);
    }
    return outcome;
}

static void make_tun_device(Ctx* c) {
    make_tun(c);
    CHECK(quorvel_agent_tun_device_create(c->runtime, c->tun[0], &c->device) == QUORVEL_AGENT_OK);
}

static Outcome call_tun_free(Ctx* c) {
    quorvel_agent_tun_device_free(c->device);
    c->device = NULL;
    CHECK(!descriptor_is_the_tun(c));
    return CALL_OK;
}

static void close_tun_peer(Ctx* c) {
    if (c->tun[1] > 0) {
        close(c->tun[1]);
    }
    if (c->device != NULL) {
        quorvel_agent_tun_device_free(c->device);
        c->device = NULL;
        CHECK(!descriptor_is_the_tun(c));
    }
}

static Outcome call_version(Ctx* c) {
    (void)c;
    const char* version = quorvel_agent_version();
    CHECK(version != NULL && strlen(version) > 0);
    return CALL_OK;
}

static Outcome call_init_logging(Ctx* c) {
    (void)c;
    return code_outcome(quorvel_agent_init_logging());
}

static Outcome call_close_udp(Ctx* c) {
    (void)c;
    return code_outcome(quorvel_agent_close_udp_sockets(NULL));
}

static void nothing(Ctx* c) {
    (void)c;
}

/* How the tries of a function run. */
typedef enum {
    SHARED_PROCESS,  /* every try in the function's child */
    PROCESS_PER_TRY, /* each try in a child of its own: the function does its work once */
} Isolation;

typedef struct {
    const char* name;
    void (*setup)(Ctx*);
    Outcome (*call)(Ctx*);
    void (*after)(Ctx*); /* before the common release */
    Isolation isolation;
} FunctionCase;

static const FunctionCase cases[] = {
    {"runtime", nothing, call_runtime, nothing, SHARED_PROCESS},
    {"runtime_free", make_runtime, call_runtime_free, nothing, SHARED_PROCESS},
    {"config_load", fresh_file, call_load, nothing, SHARED_PROCESS},
    /* Each try in a fresh process: the loader's log lines are the first of the calling thread,
     * whose first use of the log's per-thread state may then find no memory. */
    {"config_load_first_lines", fresh_file, call_load, nothing, PROCESS_PER_TRY},
    {"config_generate", remove_generated, call_generate, nothing, SHARED_PROCESS},
    {"config_id_pk", load_config, call_id_pk, nothing, SHARED_PROCESS},
    {"config_free", load_config, call_config_free, nothing, SHARED_PROCESS},
    {"network_add", fresh_file, call_add, check_file_kept, SHARED_PROCESS},
    {"network_remove", file_with_a, call_remove, check_file_kept, SHARED_PROCESS},
    {"network_enable", file_with_a_disabled, call_enable, check_file_kept, SHARED_PROCESS},
    {"network_disable", file_with_a, call_disable, check_file_kept, SHARED_PROCESS},
    {"networks", file_with_two, call_networks, nothing, SHARED_PROCESS},
    {"networks_free", make_list, call_networks_free, nothing, SHARED_PROCESS},
    {"start", make_runtime_and_config, call_start, nothing, SHARED_PROCESS},
    {"status", start_agent, call_status, nothing, SHARED_PROCESS},
    {"shutdown", start_agent, call_shutdown, nothing, SHARED_PROCESS},
    {"free_shut_down", start_and_shut_down, call_free, check_port_free, SHARED_PROCESS},
    /* An agent still running keeps its port until its runtime stops in the release. */
    {"free_running", start_agent, call_free, nothing, SHARED_PROCESS},
    {"tun_device_create", make_tun, call_tun_create, close_tun_peer, SHARED_PROCESS},
    {"tun_device_free", make_tun_device, call_tun_free, close_tun_peer, SHARED_PROCESS},
    {"close_udp_sockets", nothing, call_close_udp, nothing, SHARED_PROCESS},
    {"version", nothing, call_version, nothing, PROCESS_PER_TRY},
    {"init_logging", nothing, call_init_logging, nothing, PROCESS_PER_TRY},
};

enum { DENSE_COUNTS = 200, STRIDE_TRIES = 60 };

/* One call with allocation `fail_at` failing (0: none); the outcome, and the allocations the
 * call made in `*made`. Checks the descriptors and the port once everything is released. */
static Outcome try_once(const FunctionCase* fc, long fail_at, long* made) {
    current_try = fail_at;
    Ctx c;
    memset(&c, 0, sizeof c);
    FdSet before = open_fds();
    fc->setup(&c);
    shim_arm(fail_at);
    Outcome outcome = fc->call(&c);
    *made = shim_disarm();
    c.outcome = outcome;
    fc->after(&c);
    release_all(&c);
    FdSet after = open_fds();
    check_same_fds(&before, &after);
    CHECK(port_bindable());
    if (outcome == CALL_WRONG) {
        failures++;
    }
    return outcome;
}

/* In a child of its own, for a function that does its work once per process. */
static Outcome try_in_child(const FunctionCase* fc, long fail_at, long* made) {
    int report[2];
    if (pipe(report) != 0) {
        failures++;
        return CALL_WRONG;
    }
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        long child_made = 0;
        Outcome outcome = try_once(fc, fail_at, &child_made);
        long message[2] = {(long)outcome, child_made};
        ssize_t written = write(report[1], message, sizeof message);
        fflush(stdout);
        _exit(written == (ssize_t)sizeof message && failures == 0 ? 0 : 1);
    }
    close(report[1]);
    long message[2] = {CALL_WRONG, 0};
    ssize_t got = read(report[0], message, sizeof message);
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (got != (ssize_t)sizeof message || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        printf("%s: with allocation %ld failing the child %s %d\n", fc->name, fail_at,
               WIFSIGNALED(status) ? "died of signal" : "exited with",
               WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
        failures++;
    }
    *made = message[1];
    return (Outcome)message[0];
}

/* One normal cycle: the agent still works. */
static void check_agent_works(void) {
    current_try = 0;
    Ctx c;
    memset(&c, 0, sizeof c);
    start_agent(&c);
    if (c.agent != NULL) {
        c.text = quorvel_agent_status(c.runtime, c.agent);
        CHECK(c.text != NULL);
    }
    release_all(&c);
    CHECK(port_bindable());
}

/* Every count for one function; what was tried goes to `*tried` (a page shared with the parent,
 * which reports where a child died). */
static void try_function(const FunctionCase* fc, long dense, volatile long* tried) {
    Outcome (*attempt)(const FunctionCase*, long, long*) =
        fc->isolation == PROCESS_PER_TRY ? try_in_child : try_once;
    long total = 0;
    *tried = 0;
    if (attempt(fc, 0, &total) != CALL_OK) {
        printf("%s: fails with every allocation granted\n", fc->name);
        failures++;
        return;
    }
    long stride = total > dense ? (total - dense + STRIDE_TRIES - 1) / STRIDE_TRIES : 1;
    long ran = 0, failed_calls = 0;
    for (long n = 1; n <= total; n += n < dense ? 1 : stride) {
        *tried = n;
        long made = 0;
        if (attempt(fc, n, &made) == CALL_FAILED) {
            failed_calls++;
        }
        ran++;
    }
    check_agent_works();
    printf(
        "%s: %ld allocations on the calling thread; %ld counts tried, %ld gave the failure "
        "code\n",
        fc->name, total, ran, failed_calls);
}

static int run_function(const FunctionCase* fc, long dense, volatile long* tried) {
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        if (fc->isolation == SHARED_PROCESS || strcmp(fc->name, "init_logging") != 0) {
            (void)quorvel_agent_init_logging();
        }
        try_function(fc, dense, tried);
        fflush(stdout);
        _exit(failures == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) {
        printf("%s: the process died of signal %d with allocation %ld failing\n", fc->name,
               WTERMSIG(status), *tried);
        return 0;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int main(int argc, char** argv) {
#ifdef QUORVEL_SANITIZER_OWNS_MALLOC
    printf("skipped: the sanitizer's allocator cannot be interposed\n");
    return 77;
#endif
    snprintf(temp_dir, sizeof temp_dir, "%s/quorvel_oom_test_XXXXXX",
             getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    if (mkdtemp(temp_dir) == NULL) {
        perror("mkdtemp");
        return 2;
    }
    snprintf(config_path, sizeof config_path, "%s/agent.toml", temp_dir);
    snprintf(generate_path, sizeof generate_path, "%s/generated.toml", temp_dir);
    char log_path[320];
    snprintf(log_path, sizeof log_path, "%s/agent.log", temp_dir);
    if (freopen(log_path, "w", stderr) == NULL) {
        perror("freopen");
        return 2;
    }
    /* High enough that the proof of work runs on several threads, low enough to be quick. */
    setenv("QUORVEL_MIN_POW_DIFFICULTY", "16", 1);
    udp_port = free_loopback_port();
    char port_text[16];
    snprintf(port_text, sizeof port_text, "%u", udp_port);
    setenv("QUORVEL_UDP_PORT", port_text, 1);
    setenv("QUORVEL_UDP_ADDRS", "127.0.0.1", 1);
    const char* dense_text = getenv("QUORVEL_OOM_DENSE");
    long dense = dense_text != NULL ? atol(dense_text) : DENSE_COUNTS;

    /* The template: a configuration made by the library, before any function is tried. */
    {
        AgentConfigPtr* config = NULL;
        if (quorvel_agent_config_load_or_generate(config_path, &config) != QUORVEL_AGENT_OK) {
            printf("could not make the configuration\n");
            return 1;
        }
        quorvel_agent_config_free(config);
        config_template = read_file(config_path);
    }
    volatile long* tried =
        mmap(NULL, sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    int passed = 1;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        int selected = argc == 1;
        for (int a = 1; a < argc; a++) {
            selected |= strcmp(argv[a], cases[i].name) == 0;
        }
        if (selected && !run_function(&cases[i], dense, tried)) {
            printf("%s: FAILED\n", cases[i].name);
            passed = 0;
        }
    }
    if (passed) {
        char command[400];
        snprintf(command, sizeof command, "rm -rf '%s'", temp_dir);
        if (system(command) != 0) {
            printf("could not remove %s\n", temp_dir);
        }
    } else {
        printf("the agent's log is in %s\n", log_path);
    }
    return passed ? 0 : 1;
}
