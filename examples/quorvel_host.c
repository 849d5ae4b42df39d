/*
 * An example host application, written in C11 against the agent's public header only.
 *
 * It does what a mobile host does: loads or generates each agent's configuration, joins the
 * networks it is told to, opens a tunnel for each agent (a Linux TUN device, optionally inside a
 * network namespace, or one end of a packet socket pair when no TUN device is asked for), starts
 * the agents on one runtime, applies the addresses and routes that the network-change callback
 * reports (with `ip`, where a mobile host would use its platform's interface API), prints every
 * change and the status reports, and shuts down cleanly on Ctrl-C, SIGTERM or after a given time.
 * SIGUSR1 prints every agent's status report while they run.
 *
 * Several agents can share one process, as the demo's two do: their peer-to-peer traffic meets
 * on the loopback interface of the process's own namespace.
 *
 *   quorvel_host --public-key CONFIG
 *       loads or generates CONFIG and prints the node's public key (64 hex digits)
 *   quorvel_host [--duration SECONDS] [--exit-after-ping] AGENT...
 *       AGENT is name=NAME,config=PATH[,network=URL][,tun=IFNAME[,netns=NS]][,ping=ADDR]
 *       tun=      open a Linux TUN device IFNAME (inside network namespace NS when given)
 *                 and apply the reported addresses and routes to it with `ip`;
 *                 without it the agent's tunnel is a socket pair whose other end this host
 *                 reads: it answers ICMP echo requests for the agent's address itself
 *       ping=     send three ICMP echo requests from the agent's address to ADDR through a
 *                 socket-pair tunnel once every agent has its address (the one at ADDR may
 *                 get its own at a later housekeeping pass), and report the replies
 *
 * Signals: SIGINT and SIGTERM stop the agents (each prints its status report first); SIGUSR1
 * prints each agent's status report and carries on.
 *
 * Set QUORVEL_MIN_POW_DIFFICULTY to make new identities faster to generate (and to accept
 * peers with as little proof of work).
 */
#define _GNU_SOURCE

#include <quorvel/agent.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define MAX_AGENTS 4
#define PING_COUNT 3

struct host_agent {
    char name[32];
    char config_path[512];
    char network_url[1024];
    char tun_name[IFNAMSIZ];
    char netns[64];
    char ping_target[32];

    AgentConfigPtr* config;
    TunDevicePtr* device;
    AgentPtr* agent;
    int host_fd; /* our end of a socket-pair tunnel, else -1 */

    /* Written by the callback on a runtime thread, read by the main loop. */
    atomic_int changes;
    atomic_uint address; /* the first reported tunnel address, host byte order; 0 for none */

    /* Applied to the TUN device, so that the next change can withdraw them. */
    char applied_routes[1024];

    int pings_sent;
    int pings_answered;
    double next_ping_at;
};

static struct host_agent agents[MAX_AGENTS];
static int agent_count;
static volatile sig_atomic_t stop_requested;
static volatile sig_atomic_t status_requested;
static pthread_mutex_t print_lock = PTHREAD_MUTEX_INITIALIZER;

static double now_seconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* Only sets a flag: the main loop does the work. */
static void on_signal(int sig) {
    if (sig == SIGUSR1) {
        status_requested = 1;
    } else {
        stop_requested = 1;
    }
}

/* ---- running `ip` ---- */

/* Runs `ip [-n NS] ARGS...`, echoing the command; 0 on success. */
static int run_ip(const char* netns, const char* const* args) {
    const char* argv[16];
    int n = 0;
    argv[n++] = "ip";
    if (netns[0] != '\0') {
        argv[n++] = "-n";
        argv[n++] = netns;
    }
    for (int i = 0; args[i] != NULL && n < 15; i++) {
        argv[n++] = args[i];
    }
    argv[n] = NULL;

    pthread_mutex_lock(&print_lock);
    printf("  $");
    for (int i = 0; i < n; i++) {
        printf(" %s", argv[i]);
    }
    printf("\n");
    fflush(stdout);
    pthread_mutex_unlock(&print_lock);

    pid_t pid = fork();
    if (pid == 0) {
        execvp("ip", (char* const*)argv);
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) < 0) {
        return -1;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

/* Gives the TUN device the reported addresses and routes, withdrawing the earlier ones. */
static void apply_to_tun(struct host_agent* a, const char* ips, const char* routes) {
    const char* flush[] = {"addr", "flush", "dev", a->tun_name, NULL};
    run_ip(a->netns, flush);
    char list[1024];
    snprintf(list, sizeof list, "%s", ips);
    for (char *save = NULL, *ip = strtok_r(list, ",", &save); ip != NULL;
         ip = strtok_r(NULL, ",", &save)) {
        const char* add[] = {"addr", "add", ip, "dev", a->tun_name, NULL};
        run_ip(a->netns, add);
    }
    const char* up[] = {"link", "set", "dev", a->tun_name, "mtu", "1280", "up", NULL};
    run_ip(a->netns, up);

    snprintf(list, sizeof list, "%s", a->applied_routes);
    for (char *save = NULL, *route = strtok_r(list, ",", &save); route != NULL;
         route = strtok_r(NULL, ",", &save)) {
        if (strstr(routes, route) == NULL) {
            const char* del[] = {"route", "del", route, "dev", a->tun_name, NULL};
            run_ip(a->netns, del);
        }
    }
    snprintf(list, sizeof list, "%s", routes);
    for (char *save = NULL, *route = strtok_r(list, ",", &save); route != NULL;
         route = strtok_r(NULL, ",", &save)) {
        const char* add[] = {"route", "replace", route, "dev", a->tun_name, NULL};
        run_ip(a->netns, add);
    }
    snprintf(a->applied_routes, sizeof a->applied_routes, "%s", routes);

    pthread_mutex_lock(&print_lock);
    printf("[%s] applied to %s\n", a->name, a->tun_name);
    fflush(stdout);
    pthread_mutex_unlock(&print_lock);
}

/* ---- the network-change callbacks ----
 * The callback carries no context pointer, so each agent slot has its own function. */

static void handle_change(int slot, const NetworkChangeInfo* info) {
    struct host_agent* a = &agents[slot];
    const char* ips = quorvel_agent_network_change_ips(info);
    const char* routes = quorvel_agent_network_change_routes(info);
    const char* dns = quorvel_agent_network_change_dns_server(info);

    pthread_mutex_lock(&print_lock);
    printf("[%s] network change: ips='%s' routes='%s' dns_server='%s'\n", a->name, ips, routes,
           dns);
    fflush(stdout);
    pthread_mutex_unlock(&print_lock);

    if (a->tun_name[0] != '\0') {
        apply_to_tun(a, ips, routes);
    }
    unsigned address = 0;
    char first[32];
    snprintf(first, sizeof first, "%s", ips);
    char* slash = strchr(first, '/');
    if (slash != NULL) {
        *slash = '\0';
        struct in_addr in;
        if (inet_pton(AF_INET, first, &in) == 1) {
            address = ntohl(in.s_addr);
        }
    }
    atomic_store(&a->address, address);
    atomic_fetch_add(&a->changes, 1);
}

static void on_change_0(const NetworkChangeInfo* info) {
    handle_change(0, info);
}
static void on_change_1(const NetworkChangeInfo* info) {
    handle_change(1, info);
}
static void on_change_2(const NetworkChangeInfo* info) {
    handle_change(2, info);
}
static void on_change_3(const NetworkChangeInfo* info) {
    handle_change(3, info);
}
static const QuorvelNetworkChangeCallback callbacks[MAX_AGENTS] = {on_change_0, on_change_1,
                                                                   on_change_2, on_change_3};

/* ---- tunnels ---- */

/* Opens TUN device `name` (no packet information header), inside `netns` when given: the
 * calling thread enters the namespace for the open and returns to its own. */
static int open_tun(const char* name, const char* netns) {
    int own_ns = -1;
    if (netns[0] != '\0') {
        char path[128];
        snprintf(path, sizeof path, "/var/run/netns/%s", netns);
        int ns = open(path, O_RDONLY | O_CLOEXEC);
        own_ns = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (ns < 0 || own_ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
            fprintf(stderr, "cannot enter network namespace %s: %s\n", netns, strerror(errno));
            if (ns >= 0) {
                close(ns);
            }
            if (own_ns >= 0) {
                close(own_ns);
            }
            return -1;
        }
        close(ns);
    }
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        struct ifreq ifr;
        memset(&ifr, 0, sizeof ifr);
        ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
        snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name);
        if (ioctl(fd, TUNSETIFF, &ifr) != 0) {
            fprintf(stderr, "cannot create TUN device %s: %s\n", name, strerror(errno));
            close(fd);
            fd = -1;
        }
    } else {
        fprintf(stderr, "cannot open /dev/net/tun: %s\n", strerror(errno));
    }
    if (own_ns >= 0) {
        if (setns(own_ns, CLONE_NEWNET) != 0) {
            fprintf(stderr, "cannot return to the host's network namespace\n");
            abort();
        }
        close(own_ns);
    }
    return fd;
}

/* ---- ICMP through socket-pair tunnels ---- */

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

static void put32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

static uint32_t get32(const uint8_t* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static void format_addr(uint32_t addr, char* out, size_t size) {
    snprintf(out, size, "%u.%u.%u.%u", addr >> 24, (addr >> 16) & 255, (addr >> 8) & 255,
             addr & 255);
}

/* An IPv4 ICMP echo packet (type 8 request, 0 reply) with a 16-byte payload. */
static size_t icmp_echo(uint8_t* out, uint8_t type, uint32_t src, uint32_t dst, uint16_t seq) {
    const size_t len = 20 + 8 + 16;
    memset(out, 0, len);
    out[0] = 0x45;
    out[3] = (uint8_t)len;
    out[6] = 0x40;
    out[8] = 64;
    out[9] = 1;
    put32(out + 12, src);
    put32(out + 16, dst);
    uint16_t c = checksum(out, 20);
    out[10] = (uint8_t)(c >> 8);
    out[11] = (uint8_t)c;
    out[20] = type;
    out[24] = 0x51; /* identifier "Qv" */
    out[25] = 0x76;
    out[26] = (uint8_t)(seq >> 8);
    out[27] = (uint8_t)seq;
    memcpy(out + 28, "quorvel example!", 16);
    c = checksum(out + 20, len - 20);
    out[22] = (uint8_t)(c >> 8);
    out[23] = (uint8_t)c;
    return len;
}

/* One packet that came out of an agent's socket-pair tunnel. */
static void handle_tunnel_packet(struct host_agent* a, const uint8_t* p, ssize_t n) {
    if (n < 28 || (p[0] >> 4) != 4 || p[9] != 1) {
        printf("[%s] tunnel: %zd-byte packet that is not ICMP over IPv4\n", a->name, n);
        return;
    }
    const uint32_t src = get32(p + 12), dst = get32(p + 16);
    const unsigned ihl = (p[0] & 15u) * 4;
    if (n < (ssize_t)(ihl + 8)) {
        return;
    }
    const uint8_t type = p[ihl], code = p[ihl + 1];
    const uint16_t seq = (uint16_t)(p[ihl + 6] << 8 | p[ihl + 7]);
    char from[20], to[20];
    format_addr(src, from, sizeof from);
    format_addr(dst, to, sizeof to);
    if (type == 8 && dst == atomic_load(&a->address)) {
        printf("[%s] tunnel: ICMP echo request from %s to %s (seq %u) arrived; replying\n", a->name,
               from, to, seq);
        uint8_t reply[64];
        size_t len = icmp_echo(reply, 0, dst, src, seq);
        if (write(a->host_fd, reply, len) != (ssize_t)len) {
            printf("[%s] tunnel: reply not written: %s\n", a->name, strerror(errno));
        }
    } else if (type == 0) {
        printf("[%s] tunnel: ICMP echo reply from %s (seq %u) arrived\n", a->name, from, seq);
        a->pings_answered++;
    } else {
        printf("[%s] tunnel: ICMP type %u code %u from %s to %s\n", a->name, type, code, from, to);
    }
}

static void send_ping(struct host_agent* a) {
    struct in_addr target;
    if (inet_pton(AF_INET, a->ping_target, &target) != 1) {
        return;
    }
    uint8_t packet[64];
    const uint32_t src = atomic_load(&a->address);
    size_t len = icmp_echo(packet, 8, src, ntohl(target.s_addr), (uint16_t)(a->pings_sent + 1));
    char from[20];
    format_addr(src, from, sizeof from);
    printf("[%s] tunnel: sending ICMP echo request from %s to %s (seq %d)\n", a->name, from,
           a->ping_target, a->pings_sent + 1);
    if (write(a->host_fd, packet, len) != (ssize_t)len) {
        printf("[%s] tunnel: request not written: %s\n", a->name, strerror(errno));
    }
    a->pings_sent++;
}

/* Whether every agent has reported an address: until then an echo request to one of them would
 * go unanswered. */
static int all_addressed(void) {
    for (int k = 0; k < agent_count; k++) {
        if (atomic_load(&agents[k].address) == 0) {
            return 0;
        }
    }
    return 1;
}

/* ---- status ---- */

static void print_status(struct host_agent* a, RuntimePtr* runtime) {
    char* status = quorvel_agent_status(runtime, a->agent);
    pthread_mutex_lock(&print_lock);
    printf("[%s] status report:\n", a->name);
    if (status != NULL) {
        printf("%s", status);
        free(status); /* the report is the host's, allocated with malloc */
    } else {
        printf("  (no status report available)\n");
    }
    fflush(stdout);
    pthread_mutex_unlock(&print_lock);
}

/* ---- command line ---- */

static int parse_agent(const char* spec, struct host_agent* a) {
    char copy[2048];
    snprintf(copy, sizeof copy, "%s", spec);
    memset(a, 0, sizeof *a);
    a->host_fd = -1;
    for (char *save = NULL, *item = strtok_r(copy, ",", &save); item != NULL;
         item = strtok_r(NULL, ",", &save)) {
        char* eq = strchr(item, '=');
        if (eq == NULL) {
            return -1;
        }
        *eq = '\0';
        const char* value = eq + 1;
        if (strcmp(item, "name") == 0) {
            snprintf(a->name, sizeof a->name, "%s", value);
        } else if (strcmp(item, "config") == 0) {
            snprintf(a->config_path, sizeof a->config_path, "%s", value);
        } else if (strcmp(item, "network") == 0) {
            snprintf(a->network_url, sizeof a->network_url, "%s", value);
        } else if (strcmp(item, "tun") == 0) {
            snprintf(a->tun_name, sizeof a->tun_name, "%s", value);
        } else if (strcmp(item, "netns") == 0) {
            snprintf(a->netns, sizeof a->netns, "%s", value);
        } else if (strcmp(item, "ping") == 0) {
            snprintf(a->ping_target, sizeof a->ping_target, "%s", value);
        } else {
            return -1;
        }
    }
    if (a->name[0] == '\0') {
        snprintf(a->name, sizeof a->name, "agent%d", agent_count + 1);
    }
    return a->config_path[0] != '\0' ? 0 : -1;
}

static int usage(const char* program) {
    fprintf(stderr,
            "usage: %s --public-key CONFIG\n"
            "       %s [--duration SECONDS] [--exit-after-ping] "
            "name=NAME,config=PATH[,network=URL][,tun=IFNAME[,netns=NS]][,ping=ADDR] ...\n"
            "SIGINT or SIGTERM stops the agents after printing their status reports;\n"
            "SIGUSR1 prints each agent's status report while they run.\n",
            program, program);
    return 2;
}

static int print_public_key(const char* path) {
    AgentConfigPtr* config = NULL;
    int32_t rc = quorvel_agent_config_load_or_generate(path, &config);
    if (rc != QUORVEL_AGENT_OK) {
        fprintf(stderr, "cannot load or generate %s: error %d\n", path, (int)rc);
        return 1;
    }
    uint8_t pk[32];
    quorvel_agent_config_id_pk(config, pk);
    for (int i = 0; i < 32; i++) {
        printf("%02x", pk[i]);
    }
    printf("\n");
    quorvel_agent_config_free(config);
    return 0;
}

/* ---- main ---- */

int main(int argc, char** argv) {
    double duration = 0;
    int exit_after_ping = 0;
    int i = 1;
    if (argc == 3 && strcmp(argv[1], "--public-key") == 0) {
        return print_public_key(argv[2]);
    }
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; i++) {
        if (strcmp(argv[i], "--duration") == 0 && i + 1 < argc) {
            duration = atof(argv[++i]);
        } else if (strcmp(argv[i], "--exit-after-ping") == 0) {
            exit_after_ping = 1;
        } else {
            return usage(argv[0]);
        }
    }
    for (; i < argc; i++) {
        if (agent_count == MAX_AGENTS || parse_agent(argv[i], &agents[agent_count]) != 0) {
            return usage(argv[0]);
        }
        agent_count++;
    }
    if (agent_count == 0) {
        return usage(argv[0]);
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGUSR1, &sa, NULL);

    /* The agent's log goes to stderr. */
    quorvel_agent_init_logging();
    printf("quorvel agent %s\n", quorvel_agent_version());

    RuntimePtr* runtime = NULL;
    if (quorvel_agent_runtime(&runtime) != QUORVEL_AGENT_OK) {
        fprintf(stderr, "cannot create the runtime\n");
        return 1;
    }

    int failed = 0;
    for (int k = 0; k < agent_count && !failed; k++) {
        struct host_agent* a = &agents[k];
        int32_t rc = quorvel_agent_config_load_or_generate(a->config_path, &a->config);
        if (rc != QUORVEL_AGENT_OK) {
            fprintf(stderr, "[%s] cannot load or generate %s: error %d\n", a->name, a->config_path,
                    (int)rc);
            failed = 1;
            break;
        }
        if (a->network_url[0] != '\0') {
            rc = quorvel_agent_config_network_add(a->config_path, a->network_url);
            if (rc != QUORVEL_AGENT_OK && rc != QUORVEL_AGENT_ERR_NETWORK_EXISTS) {
                fprintf(stderr, "[%s] cannot join %s: error %d\n", a->name, a->network_url,
                        (int)rc);
                failed = 1;
                break;
            }
            /* The handle is a copy of the file as it was loaded: load it again. */
            quorvel_agent_config_free(a->config);
            a->config = NULL;
            quorvel_agent_config_load_or_generate(a->config_path, &a->config);
        }

        int fd;
        if (a->tun_name[0] != '\0') {
            fd = open_tun(a->tun_name, a->netns);
            if (fd < 0) {
                failed = 1;
                break;
            }
            printf("[%s] tunnel: TUN device %s%s%s\n", a->name, a->tun_name,
                   a->netns[0] ? " in network namespace " : "", a->netns);
        } else {
            int pair[2];
            if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
                failed = 1;
                break;
            }
            fd = pair[0];
            a->host_fd = pair[1];
            printf("[%s] tunnel: packet socket pair\n", a->name);
        }
        if (quorvel_agent_tun_device_create(runtime, fd, &a->device) != QUORVEL_AGENT_OK) {
            fprintf(stderr, "[%s] the agent refused the tunnel descriptor\n", a->name);
            close(fd); /* still ours after a refusal */
            failed = 1;
            break;
        }
        rc = quorvel_agent_start(runtime, a->config, a->config_path, a->device, callbacks[k], NULL,
                                 &a->agent);
        if (rc != QUORVEL_AGENT_OK) {
            fprintf(stderr, "[%s] cannot start: error %d\n", a->name, (int)rc);
            failed = 1;
            break;
        }
        printf("[%s] started with configuration %s\n", a->name, a->config_path);
        fflush(stdout);
    }

    const double started = now_seconds();
    while (!failed && !stop_requested) {
        if (duration > 0 && now_seconds() - started >= duration) {
            break;
        }
        struct pollfd fds[MAX_AGENTS];
        for (int k = 0; k < agent_count; k++) {
            fds[k].fd = agents[k].host_fd;
            fds[k].events = POLLIN;
            fds[k].revents = 0;
        }
        poll(fds, (nfds_t)agent_count, 100);
        if (status_requested) {
            status_requested = 0;
            for (int k = 0; k < agent_count; k++) {
                print_status(&agents[k], runtime);
            }
        }
        int pinging = 0;
        for (int k = 0; k < agent_count; k++) {
            struct host_agent* a = &agents[k];
            if (fds[k].revents & POLLIN) {
                uint8_t packet[2048];
                ssize_t n = recv(a->host_fd, packet, sizeof packet, MSG_DONTWAIT);
                if (n > 0) {
                    handle_tunnel_packet(a, packet, n);
                }
            }
            if (a->ping_target[0] != '\0' && a->host_fd >= 0) {
                const double now = now_seconds();
                if (a->pings_sent < PING_COUNT) {
                    pinging = 1;
                    if (all_addressed() && now >= a->next_ping_at) {
                        send_ping(a);
                        a->next_ping_at = now + 1.0;
                    }
                } else if (a->pings_answered < a->pings_sent && now < a->next_ping_at + 2.0) {
                    pinging = 1;
                }
            }
        }
        fflush(stdout);
        if (exit_after_ping && !pinging) {
            for (int k = 0; k < agent_count; k++) {
                if (agents[k].ping_target[0] != '\0') {
                    printf("[%s] %d of %d echo requests answered\n", agents[k].name,
                           agents[k].pings_answered, agents[k].pings_sent);
                }
            }
            break;
        }
    }

    if (stop_requested) {
        printf("stopping (signal)\n");
    }
    for (int k = 0; k < agent_count; k++) {
        struct host_agent* a = &agents[k];
        if (a->agent != NULL) {
            print_status(a, runtime);
            quorvel_agent_shutdown(runtime, a->agent);
            printf("[%s] shut down\n", a->name);
        }
    }
    for (int k = 0; k < agent_count; k++) {
        struct host_agent* a = &agents[k];
        quorvel_agent_free(a->agent);
        quorvel_agent_tun_device_free(a->device);
        quorvel_agent_config_free(a->config);
        if (a->host_fd >= 0) {
            close(a->host_fd);
        }
    }
    quorvel_agent_runtime_free(runtime);
    fflush(stdout);
    return failed ? 1 : 0;
}
