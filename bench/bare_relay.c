/* The bare relay the overlay benchmark measures the agents against: two TUN devices, each in a
 * network namespace of its own, bridged through two loopback UDP sockets of the calling
 * namespace, with nothing else on the way. One thread per direction and side: read a packet from
 * a device and send it as one datagram to the other side's socket; receive a datagram and write
 * it to the device. One read, send, receive and write per packet.
 *
 *   quorvel_bare_relay NS_A IFNAME_A NS_B IFNAME_B [SOCKET_BUFFER_BYTES]
 *
 * Creates the two TUN devices (no packet information header), prints "ready" once they exist and
 * relays until SIGINT or SIGTERM; the devices go with the process. SOCKET_BUFFER_BYTES (default
 * 0: the system's default) is asked for as both sockets' send and receive buffers, so that the
 * relay can be given what the agent's node asks for. Linux only; needs the right to enter the
 * namespaces. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#define PACKET_MAX 65536

struct pump {
    int from;
    int to;
    int device_to_socket; /* else socket to device */
};

static int open_tun_in(const char* netns, const char* name) {
    char path[256];
    snprintf(path, sizeof path, "/var/run/netns/%s", netns);
    int ns = open(path, O_RDONLY | O_CLOEXEC);
    int own = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (ns < 0 || own < 0 || setns(ns, CLONE_NEWNET) != 0) {
        fprintf(stderr, "cannot enter network namespace %s: %s\n", netns, strerror(errno));
        exit(1);
    }
    close(ns);
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "cannot open /dev/net/tun: %s\n", strerror(errno));
        exit(1);
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name);
    if (ioctl(fd, TUNSETIFF, &ifr) != 0) {
        fprintf(stderr, "cannot create TUN device %s: %s\n", name, strerror(errno));
        exit(1);
    }
    if (setns(own, CLONE_NEWNET) != 0) {
        fprintf(stderr, "cannot return to the relay's network namespace: %s\n", strerror(errno));
        exit(1);
    }
    close(own);
    return fd;
}

static int loopback_socket(int buffer_bytes, struct sockaddr_in* bound) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        exit(1);
    }
    if (buffer_bytes > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_bytes, sizeof buffer_bytes);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer_bytes, sizeof buffer_bytes);
    }
    memset(bound, 0, sizeof *bound);
    bound->sin_family = AF_INET;
    bound->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof *bound;
    if (bind(fd, (struct sockaddr*)bound, len) != 0 ||
        getsockname(fd, (struct sockaddr*)bound, &len) != 0) {
        perror("bind");
        exit(1);
    }
    return fd;
}

static void* run_pump(void* arg) {
    const struct pump* p = arg;
    unsigned char packet[PACKET_MAX];
    for (;;) {
        ssize_t n = p->device_to_socket ? read(p->from, packet, sizeof packet)
                                        : recv(p->from, packet, sizeof packet, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            perror(p->device_to_socket ? "device read" : "socket receive");
            exit(1);
        }
        /* A full queue on the way drops the packet, as a network would. */
        if (p->device_to_socket) {
            (void)send(p->to, packet, (size_t)n, 0);
        } else {
            (void)write(p->to, packet, (size_t)n);
        }
    }
    return NULL;
}

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: %s NS_A IFNAME_A NS_B IFNAME_B [SOCKET_BUFFER_BYTES]\n", argv[0]);
        return 2;
    }
    const int buffer_bytes = argc == 6 ? atoi(argv[5]) : 0;

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, NULL);

    int tun_a = open_tun_in(argv[1], argv[2]);
    int tun_b = open_tun_in(argv[3], argv[4]);
    struct sockaddr_in addr_a, addr_b;
    int sock_a = loopback_socket(buffer_bytes, &addr_a);
    int sock_b = loopback_socket(buffer_bytes, &addr_b);
    if (connect(sock_a, (struct sockaddr*)&addr_b, sizeof addr_b) != 0 ||
        connect(sock_b, (struct sockaddr*)&addr_a, sizeof addr_a) != 0) {
        perror("connect");
        return 1;
    }

    static struct pump pumps[4];
    pumps[0] = (struct pump){tun_a, sock_a, 1};
    pumps[1] = (struct pump){sock_b, tun_b, 0};
    pumps[2] = (struct pump){tun_b, sock_b, 1};
    pumps[3] = (struct pump){sock_a, tun_a, 0};
    for (int i = 0; i < 4; i++) {
        pthread_t thread;
        if (pthread_create(&thread, NULL, run_pump, &pumps[i]) != 0) {
            fprintf(stderr, "cannot start a relay thread\n");
            return 1;
        }
        pthread_detach(thread);
    }

    int rcvbuf = 0;
    socklen_t len = sizeof rcvbuf;
    getsockopt(sock_a, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len);
    printf("ready (socket receive buffer %d bytes)\n", rcvbuf);
    fflush(stdout);

    int signal_number = 0;
    sigwait(&stop, &signal_number);
    return 0;
}
