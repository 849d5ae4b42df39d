/*
 * Drives the agent through its public C header only, as a host written in C11 does: every
 * function, the NULL and UTF-8 rules, every result code a host can reach, and the whole
 * lifecycle on a packet socket pair as the tunnel.
 *
 * Usage: quorvel_c_interface_test [PHASE...]; without arguments every phase runs. Phases:
 *   basics    version, logging, runtime, free functions, device creation
 *   config    configuration loading and the network-list functions
 *   start     start-up arguments and start-up failures
 *   lifecycle start on a socket pair, network changes, calls from the callback, shutdown, release
 *   dns, tunnel, status  add to the lifecycle phase: the DNS server in the change, traffic
 *             through the tunnel, the status report
 *   log_setting  a process whose QUORVEL_LOG holds no level: it lives on, and its log's first
 *             line is one warning that names the value
 *   paths     configuration paths that name a FIFO, a device, a socket or a file over the
 *             cap: every configuration function refuses them at once (a child process runs
 *             the calls, and fails when they have not returned within 60 seconds); a folder
 *             is refused in the system's words; a link to a file works
 *   restart   100 cycles of start, shutdown, free and start again on one runtime and one
 *             fixed UDP port: each start binds; an agent freed without a shutdown keeps its
 *             port until its runtime is freed
 * The agent's log (every level) goes to a file in the test's temporary folder, which the checks
 * read back.
 */
#define _POSIX_C_SOURCE 200809L

#include <quorvel/agent.h>

#include "host_files.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int failures = 0;
static char temp_dir[256];
static char log_path[320];

#define CHECK(cond)                                                         \
    do {                                                                    \
        if (!(cond)) {                                                      \
            printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                                     \
        }                                                                   \
    } while (0)

#define CHECK_CODE(expr, expected)                                                               \
    do {                                                                                         \
        int32_t got_ = (expr);                                                                   \
        if (got_ != (expected)) {                                                                \
            printf("%s:%d: %s returned %d, expected %d\n", __FILE__, __LINE__, #expr, (int)got_, \
                   (int)(expected));                                                             \
            failures++;                                                                          \
        }                                                                                        \
    } while (0)

#define CHECK_STR(actual, expected)                                                       \
    do {                                                                                  \
        const char* a_ = (actual);                                                        \
        const char* e_ = (expected);                                                      \
        if (a_ == NULL || strcmp(a_, e_) != 0) {                                          \
            printf("%s:%d: %s is \"%s\", expected \"%s\"\n", __FILE__, __LINE__, #actual, \
                   a_ ? a_ : "(null)", e_);                                               \
            failures++;                                                                   \
        }                                                                                 \
    } while (0)

/* ---- small helpers ---- */

static void path_in_temp(char* out, size_t size, const char* name) {
    snprintf(out, size, "%s/%s", temp_dir, name);
}

static int file_exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

static int log_count(const char* needle) {
    fflush(stderr);
    char* text = read_file(log_path);
    int count = 0;
    if (text != NULL) {
        for (const char* p = strstr(text, needle); p != NULL; p = strstr(p + 1, needle)) {
            count++;
        }
        free(text);
    }
    return count;
}

static void sleep_ms(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

static void hex_of(const uint8_t* bytes, size_t n, char* out) {
    for (size_t i = 0; i < n; i++) {
        sprintf(out + 2 * i, "%02x", bytes[i]);
    }
}

/* ---- phase: log_setting ---- */

/* Run as "log-child FILE": the process installs the logger with whatever QUORVEL_LOG holds, its
 * log going to FILE, and exits with 0 when that worked. */
static int log_child(const char* file) {
    if (freopen(file, "w", stderr) == NULL) {
        return 2;
    }
    int32_t code = quorvel_agent_init_logging();
    fflush(stderr);
    return code == QUORVEL_AGENT_OK ? 0 : 3;
}

static void phase_log_setting(void) {
    /* The value, and how the warning quotes it. */
    static const struct {
        const char* value;
        const char* quoted;
    } cases[] = {
        {"warning", "\"warning\""},
        {"bogus", "\"bogus\""},
        {"WARN ", "\"WARN \""},
        {" info", "\" info\""},
        {"a\x1b[31mb\nWARN forged", "\"a\\u{1b}[31mb\\nWARN forged\""},
        {"{:?}{}%s\"\\", "\"{:?}{}%s\\\"\\\\\""},
        {"\xc3\xa9t\xc3\xa9", "\"\xc3\xa9t\xc3\xa9\""},
    };
    char self[512];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    CHECK(length > 0);
    if (length <= 0) {
        return;
    }
    self[length] = '\0';
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        char file[400];
        char name[64];
        snprintf(name, sizeof name, "log_setting_%zu.log", i);
        path_in_temp(file, sizeof file, name);
        pid_t child = fork();
        CHECK(child >= 0);
        if (child == 0) {
            setenv("QUORVEL_LOG", cases[i].value, 1);
            execl(self, self, "log-child", file, (char*)NULL);
            _exit(4);
        }
        int status = 0;
        CHECK(waitpid(child, &status, 0) == child);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            printf("QUORVEL_LOG case %zu: the host ended with status %d\n", i, status);
            failures++;
            continue;
        }
        char* log = read_file(file);
        CHECK(log != NULL);
        if (log == NULL) {
            continue;
        }
        char expected[256];
        snprintf(expected, sizeof expected,
                 " WARN quorvel_agent::util::log: Ignoring QUORVEL_LOG=%s: expected trace, debug, "
                 "info, warn, error or off; writing info and above\n",
                 cases[i].quoted);
        /* One line, and it is the warning. */
        char* newline = strchr(log, '\n');
        CHECK(newline != NULL && newline[1] == '\0');
        const char* found = strstr(log, expected);
        if (found == NULL || found[strlen(expected)] != '\0') {
            printf("QUORVEL_LOG case %zu: the log is \"%s\", expected a line ending \"%s\"\n", i,
                   log, expected);
            failures++;
        }
        free(log);
    }
}

/* ---- phase: paths ---- */

static int32_t (*const path_edits[4])(const char*, const char*) = {
    quorvel_agent_config_network_add, quorvel_agent_config_network_remove,
    quorvel_agent_config_network_enable, quorvel_agent_config_network_disable};

/* Whether the lock file `path` is missing or free: nothing keeps it locked (the library locks
 * with flock(), which record locks would not see). */
static int lock_free(const char* path) {
    int fd = open(path, O_RDWR | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        return errno == ENOENT;
    }
    int free_now = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free_now;
}

/* Run as "paths-child FOLDER" by the paths phase, so that a call that never returns cannot hang
 * the test: every configuration function on paths that are not a regular file, or a file over
 * the cap, returns at once with its refusal, and writes no out-parameter; no lock file is made
 * beside them, none is left locked; the log says what each path names. */
static void paths_checks(void) {
    char fifo[320], held[320], to_fifo[320], big[320], regular[320], to_regular[320];
    char sock[320], folder[320];
    path_in_temp(sock, sizeof sock, "sock.toml");
    path_in_temp(folder, sizeof folder, "folder.toml");
    path_in_temp(fifo, sizeof fifo, "fifo.toml");
    path_in_temp(held, sizeof held, "held.toml");
    path_in_temp(to_fifo, sizeof to_fifo, "to-fifo.toml");
    path_in_temp(big, sizeof big, "big.toml");
    path_in_temp(regular, sizeof regular, "regular.toml");
    path_in_temp(to_regular, sizeof to_regular, "to-regular.toml");
    CHECK(mkfifo(fifo, 0600) == 0);
    CHECK(mkfifo(held, 0600) == 0);
    /* A writer holds this one open: opening it for reading would not wait, reading it would. */
    int writer = open(held, O_RDWR | O_NONBLOCK);
    CHECK(writer >= 0);
    CHECK(symlink(fifo, to_fifo) == 0);
    /* A socket's name: opening it for reading fails, but not as "not a regular file". */
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    CHECK(listener >= 0);
    struct sockaddr_un named;
    memset(&named, 0, sizeof named);
    named.sun_family = AF_UNIX;
    size_t sock_length = strlen(sock);
    CHECK(sock_length < sizeof named.sun_path);
    if (sock_length < sizeof named.sun_path) {
        memcpy(named.sun_path, sock, sock_length + 1);
    }
    CHECK(bind(listener, (struct sockaddr*)&named, sizeof named) == 0);
    CHECK(mkdir(folder, 0700) == 0);
    CHECK(write_file(big, "[identity]\n") == 0);
    CHECK(truncate(big, 16 * 1024 * 1024 + 1) == 0);
    /* Lock files in /dev are never made; one there before the test is not the library's. */
    int dev_locks_before = file_exists("/dev/zero.lock") || file_exists("/dev/null.lock");

    static const char* const fifo_kind = " is a FIFO, not a regular file";
    static const char* const device_kind = " is a character device, not a regular file";
    static const char* const socket_kind = " is a socket, not a regular file";
    const struct {
        const char* path;
        const char* refusal; /* follows the path in the log's warnings */
    } refused[] = {{fifo, fifo_kind},
                   {held, fifo_kind},
                   {to_fifo, fifo_kind},
                   {"/dev/zero", device_kind},
                   {"/dev/null", device_kind},
                   {sock, socket_kind},
                   {big, " exceeds the limit of 16777216 bytes"}};
    for (size_t i = 0; i < sizeof refused / sizeof refused[0]; i++) {
        const char* path = refused[i].path;
        AgentConfigPtr* config = (AgentConfigPtr*)&failures;
        CHECK_CODE(quorvel_agent_config_load_or_generate(path, &config), QUORVEL_AGENT_ERR_IO);
        CHECK(config == (AgentConfigPtr*)&failures);
        NetworkInfo* list = (NetworkInfo*)&failures;
        int32_t count = 77;
        CHECK_CODE(quorvel_agent_config_networks(path, &list, &count), QUORVEL_AGENT_ERR_FAILURE);
        CHECK(list == (NetworkInfo*)&failures && count == 77);
        for (int e = 0; e < 4; e++) {
            CHECK_CODE(path_edits[e](path, "http://a.example/"), QUORVEL_AGENT_ERR_FAILURE);
        }
        /* Each function's warning says what the path names. */
        static const char* const warnings[] = {
            "Error loading config: I/O error: ", "Could not list the networks: I/O error: ",
            "Could not edit the configuration: I/O error: "};
        for (size_t w = 0; w < sizeof warnings / sizeof warnings[0]; w++) {
            char line[600];
            snprintf(line, sizeof line, "%s%s%s\n", warnings[w], path, refused[i].refusal);
            if (log_count(line) < 1) {
                printf("paths: the log holds %d lines \"%s\"\n", log_count(line), line);
                failures++;
            }
        }
        char lock[340];
        snprintf(lock, sizeof lock, "%s.lock", path == to_fifo ? fifo : path);
        if (path == big) {
            /* A regular file gets its lock file; the edits left it free. */
            CHECK(file_exists(lock) && lock_free(lock));
        } else if (strncmp(path, "/dev/", 5) != 0 || !dev_locks_before) {
            CHECK(!file_exists(lock));
        }
        printf("paths: %s refused\n", path);
        fflush(stdout);
    }
    close(writer);
    close(listener);

    /* The system refuses a folder itself: its words stand, without the path. */
    {
        AgentConfigPtr* config = (AgentConfigPtr*)&failures;
        CHECK_CODE(quorvel_agent_config_load_or_generate(folder, &config), QUORVEL_AGENT_ERR_IO);
        CHECK(config == (AgentConfigPtr*)&failures);
        NetworkInfo* list = NULL;
        int32_t count = 0;
        CHECK_CODE(quorvel_agent_config_networks(folder, &list, &count), QUORVEL_AGENT_ERR_FAILURE);
        CHECK_CODE(quorvel_agent_config_network_add(folder, "http://a.example/"),
                   QUORVEL_AGENT_ERR_FAILURE);
        static const char* const folder_warnings[] = {
            "Error loading config: I/O error: Is a directory (os error 21)\n",
            "Could not list the networks: I/O error: Is a directory (os error 21)\n",
            "Could not edit the configuration: I/O error: Is a directory (os error 21)\n"};
        for (size_t w = 0; w < sizeof folder_warnings / sizeof folder_warnings[0]; w++) {
            if (log_count(folder_warnings[w]) != 1) {
                printf("paths: the log holds %d lines \"%s\"\n", log_count(folder_warnings[w]),
                       folder_warnings[w]);
                failures++;
            }
        }
        char folder_lock[340];
        snprintf(folder_lock, sizeof folder_lock, "%s.lock", folder);
        CHECK(!file_exists(folder_lock));
        printf("paths: %s refused\n", folder);
    }
    struct stat st;
    CHECK(lstat(fifo, &st) == 0 && S_ISFIFO(st.st_mode));
    CHECK(lstat(to_fifo, &st) == 0 && S_ISLNK(st.st_mode));

    /* A link to a regular file is the file: loaded, listed and edited through it, the link
     * stays, and the lock file is beside the file it leads to. */
    AgentConfigPtr* config = NULL;
    CHECK_CODE(quorvel_agent_config_load_or_generate(regular, &config), QUORVEL_AGENT_OK);
    quorvel_agent_config_free(config);
    CHECK(symlink(regular, to_regular) == 0);
    config = NULL;
    CHECK_CODE(quorvel_agent_config_load_or_generate(to_regular, &config), QUORVEL_AGENT_OK);
    CHECK(config != NULL);
    quorvel_agent_config_free(config);
    CHECK_CODE(quorvel_agent_config_network_add(to_regular, "http://a.example/"), QUORVEL_AGENT_OK);
    CHECK_CODE(quorvel_agent_config_network_disable(to_regular, "http://a.example/"),
               QUORVEL_AGENT_OK);
    NetworkInfo* list = NULL;
    int32_t count = 0;
    CHECK_CODE(quorvel_agent_config_networks(to_regular, &list, &count), QUORVEL_AGENT_OK);
    CHECK(count == 1);
    if (count == 1) {
        CHECK_STR(quorvel_agent_network_url(list, 0), "http://a.example/");
        CHECK_CODE(quorvel_agent_network_disabled(list, 0), 1);
    }
    quorvel_agent_config_networks_free(list, count);
    CHECK(lstat(to_regular, &st) == 0 && S_ISLNK(st.st_mode));
    char lock[340];
    snprintf(lock, sizeof lock, "%s.lock", regular);
    CHECK(file_exists(lock) && lock_free(lock));
    snprintf(lock, sizeof lock, "%s.lock", to_regular);
    CHECK(!file_exists(lock));
}

static int paths_child(const char* folder) {
    snprintf(temp_dir, sizeof temp_dir, "%s", folder);
    path_in_temp(log_path, sizeof log_path, "paths.log");
    if (freopen(log_path, "w", stderr) == NULL) {
        return 2;
    }
    CHECK_CODE(quorvel_agent_init_logging(), QUORVEL_AGENT_OK);
    paths_checks();
    return failures == 0 ? 0 : 1;
}

static void phase_paths(void) {
    char self[512];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    CHECK(length > 0);
    if (length <= 0) {
        return;
    }
    self[length] = '\0';
    char folder[320];
    path_in_temp(folder, sizeof folder, "paths");
    CHECK(mkdir(folder, 0700) == 0);
    fflush(stdout);
    pid_t child = fork();
    CHECK(child >= 0);
    if (child < 0) {
        return;
    }
    if (child == 0) {
        execl(self, self, "paths-child", folder, (char*)NULL);
        _exit(4);
    }
    /* Generous: each call returns in milliseconds. */
    int status = 0;
    pid_t ended = 0;
    for (int waited_ms = 0; waited_ms < 60000 && ended == 0; waited_ms += 20) {
        ended = waitpid(child, &status, WNOHANG);
        if (ended == 0) {
            sleep_ms(20);
        }
    }
    if (ended == 0) {
        printf("paths: the configuration functions had not returned after 60 s\n");
        failures++;
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return;
    }
    CHECK(ended == child);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        printf("paths: the child ended with status %d; its log is in %s/paths.log\n", status,
               folder);
        failures++;
    }
}

/* ---- phase: basics ---- */

static void phase_basics(void) {
    const char* version = quorvel_agent_version();
    CHECK(version != NULL);
    CHECK(version == quorvel_agent_version());
    CHECK(strncmp(version, "1.0.0-beta.7 (", 14) == 0);
    CHECK(version[strlen(version) - 1] == ')');

    /* Logging was installed by main(); a second installation is refused and logging goes on. */
    CHECK_CODE(quorvel_agent_init_logging(), QUORVEL_AGENT_ERR_FAILURE);
    quorvel_agent_config_free(NULL);
    quorvel_agent_runtime_free(NULL);
    quorvel_agent_free(NULL);
    quorvel_agent_tun_device_free(NULL);
    quorvel_agent_config_networks_free(NULL, 0);
    quorvel_agent_config_networks_free(NULL, 5);
    CHECK_CODE(quorvel_agent_close_udp_sockets(NULL), QUORVEL_AGENT_OK);
    CHECK_CODE(quorvel_agent_close_udp_sockets(&failures), QUORVEL_AGENT_OK);
    CHECK(log_count("FFI: Node uses single UDP socket (no per-interface sockets to close)") == 2);

    CHECK_CODE(quorvel_agent_runtime(NULL), QUORVEL_AGENT_ERR_FAILURE);
    RuntimePtr* runtime = NULL;
    CHECK_CODE(quorvel_agent_runtime(&runtime), QUORVEL_AGENT_OK);
    CHECK(runtime != NULL);

    /* Device creation: argument checks, a descriptor the device refuses, a good one. */
    TunDevicePtr* device = (TunDevicePtr*)&failures; /* must stay untouched on failure */
    CHECK_CODE(quorvel_agent_tun_device_create(runtime, 0, NULL), QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_tun_device_create(NULL, 0, &device), QUORVEL_AGENT_ERR_FAILURE);
    char file_path[320];
    path_in_temp(file_path, sizeof file_path, "not-a-tunnel");
    CHECK(write_file(file_path, "x") == 0);
    int file_fd = open(file_path, O_RDONLY);
    CHECK(file_fd >= 0);
    int flags_before = fcntl(file_fd, F_GETFL);
    CHECK_CODE(quorvel_agent_tun_device_create(runtime, file_fd, &device),
               QUORVEL_AGENT_ERR_FAILURE);
    CHECK(device == (TunDevicePtr*)&failures);
    /* The refused descriptor is still ours, open and unchanged. */
    CHECK(fcntl(file_fd, F_GETFL) == flags_before);
    char byte = 0;
    CHECK(read(file_fd, &byte, 1) == 1 && byte == 'x');
    CHECK(close(file_fd) == 0);
    char expected_line[96];
    snprintf(expected_line, sizeof expected_line,
             "Failed to create TUN device from file descriptor %d\n", file_fd);
    CHECK(log_count(expected_line) == 1);

    int pair[2];
    CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) == 0);
    device = NULL;
    CHECK_CODE(quorvel_agent_tun_device_create(runtime, pair[0], &device), QUORVEL_AGENT_OK);
    CHECK(device != NULL);
    quorvel_agent_tun_device_free(device);
    /* The device took the descriptor over and closed it with its last reference. */
    CHECK(fcntl(pair[0], F_GETFD) == -1 && errno == EBADF);
    close(pair[1]);

    quorvel_agent_runtime_free(runtime);
}

/* ---- phase: config ---- */

static void check_list_entry(const NetworkInfo* list, int32_t index, const char* url,
                             int32_t disabled) {
    CHECK_STR(quorvel_agent_network_url(list, index), url);
    CHECK_CODE(quorvel_agent_network_disabled(list, index), disabled);
    CHECK(quorvel_agent_network_name(list, index) == NULL);
}

static void phase_config(void) {
    char path[320], bad_toml[320], missing[320], created[320];
    path_in_temp(path, sizeof path, "config.toml");
    path_in_temp(bad_toml, sizeof bad_toml, "bad.toml");
    path_in_temp(missing, sizeof missing, "missing.toml");
    path_in_temp(created, sizeof created, "created-by-enable.toml");
    const char bad_utf8[] = {'a', (char)0xff, 'b', 0};

    /* Loading: NULLs, UTF-8, agent error codes, then a new identity. */
    AgentConfigPtr* config = (AgentConfigPtr*)&failures;
    CHECK_CODE(quorvel_agent_config_load_or_generate(NULL, &config), QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_config_load_or_generate(path, NULL), QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_config_load_or_generate(bad_utf8, &config), QUORVEL_AGENT_ERR_UTF8);
    CHECK(write_file(bad_toml, "this is [ not toml") == 0);
    int warnings_before = log_count("Error loading config: TOML error: ");
    CHECK_CODE(quorvel_agent_config_load_or_generate(bad_toml, &config), QUORVEL_AGENT_ERR_TOML);
    CHECK(log_count("Error loading config: TOML error: ") == warnings_before + 1);
    CHECK_CODE(quorvel_agent_config_load_or_generate(temp_dir, &config), QUORVEL_AGENT_ERR_IO);
    CHECK(config == (AgentConfigPtr*)&failures);

    config = NULL;
    CHECK_CODE(quorvel_agent_config_load_or_generate(path, &config), QUORVEL_AGENT_OK);
    CHECK(config != NULL);
    struct stat st;
    CHECK(stat(path, &st) == 0 && (st.st_mode & 0777) == 0600);

    uint8_t pk[33];
    memset(pk, 0xab, sizeof pk);
    CHECK_CODE(quorvel_agent_config_id_pk(config, NULL), QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_config_id_pk(NULL, pk), QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_config_id_pk(config, pk), QUORVEL_AGENT_OK);
    CHECK(pk[32] == 0xab); /* exactly 32 bytes written */
    /* Loading the same file again gives the same identity. */
    AgentConfigPtr* again = NULL;
    CHECK_CODE(quorvel_agent_config_load_or_generate(path, &again), QUORVEL_AGENT_OK);
    uint8_t pk_again[32];
    CHECK_CODE(quorvel_agent_config_id_pk(again, pk_again), QUORVEL_AGENT_OK);
    CHECK(memcmp(pk, pk_again, 32) == 0);
    quorvel_agent_config_free(again);
    quorvel_agent_config_free(config);
    CHECK(log_count("Freeing AgentConfigPtr") >= 2);

    /* An empty list. */
    NetworkInfo* list = (NetworkInfo*)&failures;
    int32_t count = 77;
    CHECK_CODE(quorvel_agent_config_networks(path, &list, &count), QUORVEL_AGENT_OK);
    CHECK(list == NULL && count == 0);
    quorvel_agent_config_networks_free(list, count);
    CHECK_CODE(quorvel_agent_config_networks(NULL, &list, &count), QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_config_networks(path, NULL, &count), QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_config_networks(path, &list, NULL), QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_config_networks(bad_utf8, &list, &count), QUORVEL_AGENT_ERR_UTF8);
    CHECK_CODE(quorvel_agent_config_networks(missing, &list, &count), QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_config_networks(bad_toml, &list, &count), QUORVEL_AGENT_ERR_FAILURE);

    /* The argument rules of the edit functions: NULLs before UTF-8, first string before second. */
    int32_t (*edits[4])(const char*, const char*) = {
        quorvel_agent_config_network_add, quorvel_agent_config_network_remove,
        quorvel_agent_config_network_enable, quorvel_agent_config_network_disable};
    for (int i = 0; i < 4; i++) {
        CHECK_CODE(edits[i](NULL, "http://a/"), QUORVEL_AGENT_ERR_FAILURE);
        CHECK_CODE(edits[i](bad_utf8, NULL), QUORVEL_AGENT_ERR_FAILURE);
        CHECK_CODE(edits[i](bad_utf8, bad_utf8), QUORVEL_AGENT_ERR_UTF8);
        CHECK_CODE(edits[i](path, bad_utf8), QUORVEL_AGENT_ERR_UTF8);
        CHECK_CODE(edits[i](path, "not a url"), QUORVEL_AGENT_ERR_URL_PARSE);
    }
    CHECK(log_count("Failed to convert path to string, returning ERR_UTF8") == 1);
    CHECK(log_count("Failed to convert network_url to string, returning ERR_UTF8") == 1);

    /* Adding and removing need the file; enabling creates a missing one with a new identity. */
    CHECK_CODE(quorvel_agent_config_network_add(missing, "http://a/"), QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_config_network_remove(missing, "http://a/"),
               QUORVEL_AGENT_ERR_FAILURE);
    CHECK(!file_exists(missing));
    CHECK_CODE(quorvel_agent_config_network_enable(created, "http://a/"),
               QUORVEL_AGENT_ERR_NETWORK_NOT_FOUND);
    CHECK(file_exists(created));

    const char* first = "http://example.com/net.toml";
    const char* second = "file:///etc/quorvel/second.toml";
    CHECK_CODE(quorvel_agent_config_network_add(path, first), QUORVEL_AGENT_OK);
    CHECK_CODE(quorvel_agent_config_network_add(path, "HTTP://EXAMPLE.COM/net.toml"),
               QUORVEL_AGENT_ERR_NETWORK_EXISTS);
    CHECK_CODE(quorvel_agent_config_network_add(path, second), QUORVEL_AGENT_OK);
    CHECK_CODE(quorvel_agent_config_network_add(path, "controller://networks/abc"),
               QUORVEL_AGENT_OK);
    CHECK_CODE(quorvel_agent_config_network_add(path, "HTTP://Example.Org"), QUORVEL_AGENT_OK);
    CHECK_CODE(quorvel_agent_config_network_add(path, "http://example.org/"),
               QUORVEL_AGENT_ERR_NETWORK_EXISTS);

    CHECK_CODE(quorvel_agent_config_network_disable(path, second), QUORVEL_AGENT_OK);
    CHECK_CODE(quorvel_agent_config_network_disable(path, second),
               QUORVEL_AGENT_ERR_NETWORK_ALREADY_DISABLED);
    char* before = read_file(path);
    CHECK_CODE(quorvel_agent_config_network_enable(path, first),
               QUORVEL_AGENT_ERR_NETWORK_NOT_DISABLED);
    char* after = read_file(path);
    CHECK(before != NULL && after != NULL && strcmp(before, after) == 0);
    free(before);
    free(after);

    /* The list, sorted by URL, with every index checked. */
    list = NULL;
    count = 0;
    CHECK_CODE(quorvel_agent_config_networks(path, &list, &count), QUORVEL_AGENT_OK);
    CHECK(count == 4);
    if (count == 4) {
        check_list_entry(list, 0, "controller://networks/abc", 0);
        check_list_entry(list, 1, second, 1);
        check_list_entry(list, 2, first, 0);
        check_list_entry(list, 3, "http://example.org/", 0);
    }
    CHECK(quorvel_agent_network_url(list, -1) == NULL);
    CHECK(quorvel_agent_network_url(list, count) == NULL);
    CHECK(quorvel_agent_network_name(list, count) == NULL);
    CHECK_CODE(quorvel_agent_network_disabled(list, -1), -1);
    CHECK_CODE(quorvel_agent_network_disabled(list, count), -1);
    CHECK(quorvel_agent_network_url(NULL, 0) == NULL);
    CHECK(quorvel_agent_network_name(NULL, 0) == NULL);
    CHECK_CODE(quorvel_agent_network_disabled(NULL, 0), -1);
    int drops_before = log_count("Dropping NetworkInfo url and freeing CString");
    quorvel_agent_config_networks_free(list, count);
    CHECK(log_count("Dropping NetworkInfo url and freeing CString") == drops_before + 4);

    /* A released list is unknown to the library, which reads nothing through it. */
    CHECK(quorvel_agent_network_url(list, 0) == NULL);
    CHECK_CODE(quorvel_agent_network_disabled(list, 0), -1);
    quorvel_agent_config_networks_free(list, count);

    CHECK_CODE(quorvel_agent_config_network_enable(path, second), QUORVEL_AGENT_OK);
    CHECK_CODE(quorvel_agent_config_network_remove(path, first), QUORVEL_AGENT_OK);
    CHECK_CODE(quorvel_agent_config_network_remove(path, first),
               QUORVEL_AGENT_ERR_NETWORK_NOT_FOUND);
    CHECK_CODE(quorvel_agent_config_network_enable(path, first),
               QUORVEL_AGENT_ERR_NETWORK_NOT_FOUND);
    CHECK_CODE(quorvel_agent_config_network_disable(path, first),
               QUORVEL_AGENT_ERR_NETWORK_NOT_FOUND);

    /* A count that does not match the list still releases the whole list (the sanitizers
     * would report a leak or an overrun otherwise). */
    CHECK_CODE(quorvel_agent_config_networks(path, &list, &count), QUORVEL_AGENT_OK);
    CHECK(count == 3);
    quorvel_agent_config_networks_free(list, 1);

    /* A file that cannot be written: the edit fails with -2 and the file keeps its content. */
    if (geteuid() != 0) {
        char* kept = read_file(path);
        CHECK(chmod(temp_dir, 0500) == 0);
        CHECK_CODE(quorvel_agent_config_network_add(path, "http://c/"), QUORVEL_AGENT_ERR_FAILURE);
        CHECK(chmod(temp_dir, 0700) == 0);
        char* now = read_file(path);
        CHECK(kept != NULL && now != NULL && strcmp(kept, now) == 0);
        free(kept);
        free(now);
    }
}

/* ---- phase: start ---- */

static void ignore_change(const NetworkChangeInfo* info) {
    (void)info;
}

static void phase_start(void) {
    char path[320];
    path_in_temp(path, sizeof path, "start.toml");
    const char bad_utf8[] = {'s', (char)0xc3, 0};
    RuntimePtr* runtime = NULL;
    CHECK_CODE(quorvel_agent_runtime(&runtime), QUORVEL_AGENT_OK);
    AgentConfigPtr* config = NULL;
    CHECK_CODE(quorvel_agent_config_load_or_generate(path, &config), QUORVEL_AGENT_OK);

    AgentPtr* sentinel = (AgentPtr*)&failures;
    AgentPtr* agent = sentinel;
    CHECK_CODE(quorvel_agent_start(runtime, config, NULL, NULL, ignore_change, NULL, &agent),
               QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_start(runtime, config, path, NULL, ignore_change, NULL, NULL),
               QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_start(runtime, config, path, NULL, NULL, NULL, &agent),
               QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_start(NULL, config, path, NULL, ignore_change, NULL, &agent),
               QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_start(runtime, NULL, path, NULL, ignore_change, NULL, &agent),
               QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_start(runtime, config, bad_utf8, NULL, ignore_change, NULL, &agent),
               QUORVEL_AGENT_ERR_UTF8);

    /* Start-up failures return their agent error code. */
    setenv("QUORVEL_UDP_ADDRS", "not-an-address", 1);
    CHECK_CODE(quorvel_agent_start(runtime, config, path, NULL, ignore_change, NULL, &agent),
               QUORVEL_AGENT_ERR_CONFIG_PARSE);
    unsetenv("QUORVEL_UDP_ADDRS");

    int taken = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    CHECK(bind(taken, (struct sockaddr*)&addr, sizeof addr) == 0);
    socklen_t len = sizeof addr;
    CHECK(getsockname(taken, (struct sockaddr*)&addr, &len) == 0);
    char port[16];
    snprintf(port, sizeof port, "%u", (unsigned)ntohs(addr.sin_port));
    setenv("QUORVEL_UDP_PORT", port, 1);
    CHECK_CODE(quorvel_agent_start(runtime, config, path, NULL, ignore_change, NULL, &agent),
               QUORVEL_AGENT_ERR_NODE);
    unsetenv("QUORVEL_UDP_PORT");
    close(taken);
    CHECK(agent == sentinel);

    /* No device, any value of the ignored pointer. */
    agent = NULL;
    CHECK_CODE(quorvel_agent_start(runtime, config, path, NULL, ignore_change, (void*)path, &agent),
               QUORVEL_AGENT_OK);
    CHECK(agent != NULL);
    CHECK_CODE(quorvel_agent_shutdown(NULL, agent), QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(quorvel_agent_shutdown(runtime, NULL), QUORVEL_AGENT_ERR_FAILURE);
    CHECK(quorvel_agent_status(NULL, agent) == NULL);
    CHECK(quorvel_agent_status(runtime, NULL) == NULL);
    CHECK_CODE(quorvel_agent_shutdown(runtime, agent), QUORVEL_AGENT_OK);
    CHECK_CODE(quorvel_agent_shutdown(runtime, agent), QUORVEL_AGENT_OK);
    quorvel_agent_free(agent);
    quorvel_agent_config_free(config);
    quorvel_agent_runtime_free(runtime);
}

/* ---- phase: restart ---- */

/* Binds a UDP socket to the loopback port (0: any free one) and closes it again at once; the port
 * it was bound to, or 0 when it could not bind. */
static unsigned bind_loopback_udp(unsigned port) {
    int probe = socket(AF_INET, SOCK_DGRAM, 0);
    if (probe < 0) {
        return 0;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons((uint16_t)port);
    socklen_t len = sizeof addr;
    unsigned bound = 0;
    if (bind(probe, (struct sockaddr*)&addr, sizeof addr) == 0 &&
        getsockname(probe, (struct sockaddr*)&addr, &len) == 0) {
        bound = ntohs(addr.sin_port);
    }
    close(probe);
    return bound;
}

/* A UDP port on the loopback address that nothing holds now; 0 when none could be had. */
static unsigned free_loopback_port(void) {
    return bind_loopback_udp(0);
}

/* Whether a socket of this process can bind the loopback port now. */
static int port_bindable(unsigned port) {
    return bind_loopback_udp(port) == port;
}

enum { RESTART_CYCLES = 100 };

static void phase_restart(void) {
    char path[320];
    path_in_temp(path, sizeof path, "restart.toml");
    RuntimePtr* runtime = NULL;
    CHECK_CODE(quorvel_agent_runtime(&runtime), QUORVEL_AGENT_OK);
    AgentConfigPtr* config = NULL;
    CHECK_CODE(quorvel_agent_config_load_or_generate(path, &config), QUORVEL_AGENT_OK);
    unsigned port = free_loopback_port();
    CHECK(port != 0);
    if (runtime == NULL || config == NULL || port == 0) {
        quorvel_agent_config_free(config);
        quorvel_agent_runtime_free(runtime);
        return;
    }
    char port_text[16];
    snprintf(port_text, sizeof port_text, "%u", port);
    setenv("QUORVEL_UDP_PORT", port_text, 1);
    setenv("QUORVEL_UDP_ADDRS", "127.0.0.1", 1);

    AgentPtr* agent = NULL;
    CHECK_CODE(quorvel_agent_start(runtime, config, path, NULL, ignore_change, NULL, &agent),
               QUORVEL_AGENT_OK);
    /* Each cycle frees a shut-down agent and starts the next one with the same configuration
     * at once. A start that is refused is counted, and tried again once the port is free, so
     * that the count covers every cycle. */
    int refused = 0;
    int first_refusal = QUORVEL_AGENT_OK;
    for (int cycle = 0; cycle < RESTART_CYCLES && agent != NULL; cycle++) {
        CHECK_CODE(quorvel_agent_shutdown(runtime, agent), QUORVEL_AGENT_OK);
        quorvel_agent_free(agent);
        agent = NULL;
        int32_t code =
            quorvel_agent_start(runtime, config, path, NULL, ignore_change, NULL, &agent);
        if (code == QUORVEL_AGENT_OK) {
            continue;
        }
        if (refused++ == 0) {
            first_refusal = code;
        }
        for (int waited_ms = 0; waited_ms < 10000 && code != QUORVEL_AGENT_OK; waited_ms += 10) {
            sleep_ms(10);
            code = quorvel_agent_start(runtime, config, path, NULL, ignore_change, NULL, &agent);
        }
        CHECK_CODE(code, QUORVEL_AGENT_OK);
    }
    if (refused != 0) {
        printf("restart: %d of %d starts right after a free were refused, the first with %d\n",
               refused, RESTART_CYCLES, first_refusal);
        failures++;
    }
    CHECK(agent != NULL);

    /* Once the free of a shut-down agent has returned, the port is free for anyone. */
    CHECK_CODE(quorvel_agent_shutdown(runtime, agent), QUORVEL_AGENT_OK);
    quorvel_agent_free(agent);
    CHECK(port_bindable(port));

    /* An agent freed without a shutdown runs on, its port bound, until its runtime stops. */
    agent = NULL;
    CHECK_CODE(quorvel_agent_start(runtime, config, path, NULL, ignore_change, NULL, &agent),
               QUORVEL_AGENT_OK);
    quorvel_agent_free(agent);
    CHECK(!port_bindable(port));
    AgentPtr* second = NULL;
    CHECK_CODE(quorvel_agent_start(runtime, config, path, NULL, ignore_change, NULL, &second),
               QUORVEL_AGENT_ERR_NODE);
    CHECK(second == NULL);
    quorvel_agent_runtime_free(runtime);
    CHECK(port_bindable(port));

    unsetenv("QUORVEL_UDP_PORT");
    unsetenv("QUORVEL_UDP_ADDRS");
    quorvel_agent_config_free(config);
}

/* ---- phase: lifecycle ---- */

/* What the callback saw, and what the blocking functions returned when called from it. */
static atomic_int change_count;
static char last_ips[256];
static char last_routes[256];
static char last_dns[64];
static const RuntimePtr* callback_runtime;
static const AgentConfigPtr* callback_config;
static int callback_spare_fd = -1;
static const AgentPtr* _Atomic callback_agent;
static atomic_int blocking_checked;
static atomic_int inside_start_code = 1;
static atomic_int inside_shutdown_code = 1;
static atomic_int inside_device_code = 1;
static atomic_int inside_status_null = 0;

/* Guards the three texts: the callback writes them on a runtime thread. */
static pthread_mutex_t last_lock = PTHREAD_MUTEX_INITIALIZER;

static void on_change(const NetworkChangeInfo* info) {
    pthread_mutex_lock(&last_lock);
    snprintf(last_ips, sizeof last_ips, "%s", quorvel_agent_network_change_ips(info));
    snprintf(last_routes, sizeof last_routes, "%s", quorvel_agent_network_change_routes(info));
    snprintf(last_dns, sizeof last_dns, "%s", quorvel_agent_network_change_dns_server(info));
    printf("network change: ips='%s' routes='%s' dns_server='%s'\n", last_ips, last_routes,
           last_dns);
    fflush(stdout);
    pthread_mutex_unlock(&last_lock);
    /* The blocking functions refuse on the runtime's threads instead of waiting on themselves
     * (shutdown and status would wait for the state lock this pass holds). */
    const AgentPtr* agent = atomic_load(&callback_agent);
    if (agent != NULL && !atomic_load(&blocking_checked)) {
        AgentPtr* unused_agent = NULL;
        TunDevicePtr* unused_device = NULL;
        atomic_store(&inside_device_code, quorvel_agent_tun_device_create(
                                              callback_runtime, callback_spare_fd, &unused_device));
        atomic_store(&inside_start_code,
                     quorvel_agent_start(callback_runtime, callback_config, "x.toml", NULL,
                                         on_change, NULL, &unused_agent));
        atomic_store(&inside_shutdown_code, quorvel_agent_shutdown(callback_runtime, agent));
        atomic_store(&inside_status_null, quorvel_agent_status(callback_runtime, agent) == NULL);
        atomic_store(&blocking_checked, 1);
    }
    atomic_fetch_add(&change_count, 1);
}

static uint16_t checksum(const uint8_t* data, size_t len) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < len; i += 2) {
        sum += (uint32_t)(data[i] << 8 | data[i + 1]);
    }
    if (len % 2) {
        sum += (uint32_t)(data[len - 1] << 8);
    }
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return (uint16_t)~sum;
}

/* An ICMP echo request of 36 bytes from `src` to `dst` (host byte order addresses). */
static size_t echo_request(uint8_t* out, uint32_t src, uint32_t dst) {
    memset(out, 0, 36);
    out[0] = 0x45;
    out[3] = 36;
    out[8] = 64;
    out[9] = 1;
    for (int i = 0; i < 4; i++) {
        out[12 + i] = (uint8_t)(src >> (24 - 8 * i));
        out[16 + i] = (uint8_t)(dst >> (24 - 8 * i));
    }
    uint16_t c = checksum(out, 20);
    out[10] = (uint8_t)(c >> 8);
    out[11] = (uint8_t)c;
    out[20] = 8; /* echo request */
    out[25] = 1; /* id 1 */
    out[27] = 1; /* sequence 1 */
    memcpy(out + 28, "quorvel!", 8);
    c = checksum(out + 20, 16);
    out[22] = (uint8_t)(c >> 8);
    out[23] = (uint8_t)c;
    return 36;
}

/* Which parts of the lifecycle phase run: the DNS server in the change, traffic through the
 * tunnel, and the status report (phases "dns", "tunnel" and "status"). */
static int check_dns, check_tunnel, check_status;

static void tunnel_unreachable(int host_end) {
    uint8_t packet[1500];
    size_t len = echo_request(packet, 0x0a4d0005, 0x0a630001); /* 10.77.0.5 -> 10.99.0.1 */
    CHECK(write(host_end, packet, len) == (ssize_t)len);
    struct pollfd pfd = {host_end, POLLIN, 0};
    int ready = poll(&pfd, 1, 10000);
    CHECK(ready == 1);
    ssize_t n = ready == 1 ? recv(host_end, packet, sizeof packet, MSG_DONTWAIT) : -1;
    CHECK(n >= 28 && packet[9] == 1 && packet[20] == 3 && packet[21] == 1);
    CHECK(n >= 20 && memcmp(packet + 16, "\x0a\x4d\x00\x05", 4) == 0);
}

static void wait_for_changes(int count) {
    for (int i = 0; i < 600 && atomic_load(&change_count) < count; i++) {
        sleep_ms(50);
    }
}

static void phase_lifecycle(void) {
    char path[320], doc_path[320], url[400];
    path_in_temp(path, sizeof path, "lifecycle.toml");
    path_in_temp(doc_path, sizeof doc_path, "network.toml");
    snprintf(url, sizeof url, "file://%s", doc_path);

    AgentConfigPtr* config = NULL;
    CHECK_CODE(quorvel_agent_config_load_or_generate(path, &config), QUORVEL_AGENT_OK);
    uint8_t pk[32];
    char pk_hex[65];
    CHECK_CODE(quorvel_agent_config_id_pk(config, pk), QUORVEL_AGENT_OK);
    hex_of(pk, 32, pk_hex);
    char doc[1024];
    snprintf(doc, sizeof doc,
             "network = \"10.77.0.0/24\"\nname = \"c-test\"\n\n[[node]]\npk = \"%s\"\n"
             "ip = \"10.77.0.5\"\nhostname = \"self\"\n",
             pk_hex);
    CHECK(write_file(doc_path, doc) == 0);
    /* The handle was loaded before the network was added: reload it to start with the network. */
    CHECK_CODE(quorvel_agent_config_network_add(path, url), QUORVEL_AGENT_OK);
    quorvel_agent_config_free(config);
    config = NULL;
    CHECK_CODE(quorvel_agent_config_load_or_generate(path, &config), QUORVEL_AGENT_OK);

    RuntimePtr* runtime = NULL;
    CHECK_CODE(quorvel_agent_runtime(&runtime), QUORVEL_AGENT_OK);
    int pair[2], spare[2];
    CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) == 0);
    CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, spare) == 0);
    callback_runtime = runtime;
    AgentConfigPtr* spare_config = NULL;
    CHECK_CODE(quorvel_agent_config_load_or_generate(path, &spare_config), QUORVEL_AGENT_OK);
    callback_config = spare_config;
    callback_spare_fd = spare[0];
    TunDevicePtr* device = NULL;
    CHECK_CODE(quorvel_agent_tun_device_create(runtime, pair[0], &device), QUORVEL_AGENT_OK);

    AgentPtr* agent = NULL;
    CHECK_CODE(quorvel_agent_start(runtime, config, path, device, on_change, NULL, &agent),
               QUORVEL_AGENT_OK);
    atomic_store(&callback_agent, agent);
    /* The agent keeps its own device reference and configuration copy: the host's handles may
     * go right away. */
    quorvel_agent_tun_device_free(device);
    quorvel_agent_config_free(config);

    wait_for_changes(1);
    CHECK(atomic_load(&change_count) >= 1);
    pthread_mutex_lock(&last_lock);
    CHECK_STR(last_ips, "10.77.0.5/24");
    if (check_dns) {
        CHECK_STR(last_dns, "10.77.0.254");
    }
    pthread_mutex_unlock(&last_lock);

    /* Traffic through the tunnel: a packet to an address no peer serves comes back as an ICMP
     * Destination Unreachable (Host Unreachable) for its sender. */
    if (check_tunnel) {
        tunnel_unreachable(pair[1]);
    }

    /* A changed document reaches the host at the next pass, whose callback also tries the
     * blocking functions. */
    int seen = atomic_load(&change_count);
    snprintf(doc + strlen(doc), sizeof doc - strlen(doc),
             "\n[[node]]\npk = \"%s\"\nip = \"10.77.0.9\"\nhostname = \"gateway\"\n\n"
             "[[route]]\ndest = \"10.88.0.0/16\"\ngw = \"%s\"\n",
             "1111111111111111111111111111111111111111111111111111111111111111",
             "1111111111111111111111111111111111111111111111111111111111111111");
    CHECK(write_file(doc_path, doc) == 0);
    wait_for_changes(seen + 1);
    CHECK(atomic_load(&change_count) == seen + 1);
    pthread_mutex_lock(&last_lock);
    CHECK(strstr(last_routes, "10.88.0.0/16") != NULL);
    pthread_mutex_unlock(&last_lock);
    CHECK(atomic_load(&blocking_checked) == 1);
    CHECK_CODE(atomic_load(&inside_device_code), QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(atomic_load(&inside_start_code), QUORVEL_AGENT_ERR_FAILURE);
    CHECK_CODE(atomic_load(&inside_shutdown_code), QUORVEL_AGENT_ERR_FAILURE);
    CHECK(atomic_load(&inside_status_null) == 1);
    /* The refused device creation left the descriptor to its owner. */
    CHECK(fcntl(spare[0], F_GETFD) != -1);

    char* status = check_status ? quorvel_agent_status(runtime, agent) : NULL;
    CHECK(status != NULL || !check_status);
    if (status != NULL) {
        printf("%s", status);
        CHECK(strstr(status, url) != NULL);
        CHECK(strstr(status, "10.77.0.5/24") != NULL);
        free(status);
    }

    CHECK_CODE(quorvel_agent_shutdown(runtime, agent), QUORVEL_AGENT_OK);
    /* The status stays readable after shutdown, until the handle is released. */
    if (check_status) {
        status = quorvel_agent_status(runtime, agent);
        CHECK(status != NULL);
        free(status);
    }
    atomic_store(&callback_agent, NULL);
    /* A host whose handles are collected does not choose the order they go in: the agent handle
     * keeps the runtime until it goes itself. */
    quorvel_agent_runtime_free(runtime);
    quorvel_agent_config_free(spare_config);
    quorvel_agent_free(agent);
    close(pair[1]);
    close(spare[0]);
    close(spare[1]);
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "log-child") == 0) {
        return log_child(argv[2]);
    }
    if (argc == 3 && strcmp(argv[1], "paths-child") == 0) {
        return paths_child(argv[2]);
    }
    snprintf(temp_dir, sizeof temp_dir, "%s/quorvel_c_test_XXXXXX",
             getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    if (mkdtemp(temp_dir) == NULL) {
        perror("mkdtemp");
        return 2;
    }
    /* A new identity needs a proof of work; a low difficulty keeps the test quick. */
    setenv("QUORVEL_MIN_POW_DIFFICULTY", "4", 1);
    path_in_temp(log_path, sizeof log_path, "agent.log");
    if (freopen(log_path, "w", stderr) == NULL) {
        perror("freopen");
        return 2;
    }
    CHECK_CODE(quorvel_agent_init_logging(), QUORVEL_AGENT_OK);

    static const struct {
        const char* name;
        void (*run)(void);
    } phases[] = {
        {"basics", phase_basics},       {"config", phase_config},           {"start", phase_start},
        {"lifecycle", phase_lifecycle}, {"log_setting", phase_log_setting}, {"paths", phase_paths},
        {"restart", phase_restart}};
    for (int a = 1; a < argc; a++) {
        check_dns |= strcmp(argv[a], "dns") == 0;
        check_tunnel |= strcmp(argv[a], "tunnel") == 0;
        check_status |= strcmp(argv[a], "status") == 0;
    }
    if (argc == 1) {
        check_dns = check_tunnel = check_status = 1;
    }
    for (size_t i = 0; i < sizeof phases / sizeof phases[0]; i++) {
        int selected = argc == 1;
        for (int a = 1; a < argc; a++) {
            selected |= strcmp(argv[a], phases[i].name) == 0;
        }
        if (selected) {
            int before = failures;
            phases[i].run();
            printf("%s: %s\n", phases[i].name, failures == before ? "ok" : "FAILED");
        }
    }
    if (failures == 0) {
        char command[400];
        snprintf(command, sizeof command, "rm -rf '%s'", temp_dir);
        if (system(command) != 0) {
            printf("could not remove %s\n", temp_dir);
        }
    } else {
        printf("%d check(s) failed; the agent's log is in %s\n", failures, log_path);
    }
    return failures == 0 ? 0 : 1;
}
