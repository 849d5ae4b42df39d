/*
 * A host that ends its process with exit() while its agents set up HTTPS connections, written
 * in C11 against the public header and the shared library only, as a host application is: the
 * order in which the process initialises its libraries and registers its exit handlers is a
 * real host's.
 *
 * Usage: quorvel_exit_https_host ORDER BASE_URL NETWORKS DIR
 *   ORDER     "held": the host holds every handle when agent 0's callback calls exit();
 *             "freed": the host holds only the agent handles, and agent 0's callback frees
 *             agent 1, the last handle of its runtime, right before exit()
 *   BASE_URL  an https URL; agents 1 and 2 each join BASE_URL/net1.toml ... netN.toml
 *   NETWORKS  N, how many networks each of agents 1 and 2 joins
 *   DIR       a folder for the configuration files
 * Agents 0, 1 and 2 run on a runtime each, on packet socket pairs; agent 0 joins no network and
 * is started last. The process ends with exit(0) in agent 0's first network change; any other
 * end (a crash, or 3 for a failed set-up, 4 for no network change within 60 s) is a failure.
 */
#define _POSIX_C_SOURCE 200809L

#include <quorvel/agent.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

enum { kSetupFailed = 3, kNotReached = 4, kAgents = 3 };

static AgentPtr* volatile agents[kAgents];

static void fail(const char* what) {
    fprintf(stderr, "set-up failed: %s\n", what);
    _Exit(kSetupFailed);
}

static void ignore_change(const NetworkChangeInfo* info) {
    (void)info;
}

static void exit_while_held(const NetworkChangeInfo* info) {
    (void)info;
    exit(0);
}

static void free_then_exit(const NetworkChangeInfo* info) {
    (void)info;
    AgentPtr* other = agents[1];
    agents[1] = NULL;
    quorvel_agent_free(other);
    exit(0);
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s held|freed BASE_URL NETWORKS DIR\n", argv[0]);
        return 2;
    }
    const int freed = strcmp(argv[1], "freed") == 0;
    const int networks = atoi(argv[3]);
    RuntimePtr* runtimes[kAgents] = {NULL};
    AgentConfigPtr* configs[kAgents] = {NULL};
    TunDevicePtr* devices[kAgents] = {NULL};
    /* Agents 1 and 2 first, so that agent 0's first change comes while they connect. */
    for (int i = kAgents - 1; i >= 0; --i) {
        char path[512];
        snprintf(path, sizeof path, "%s/agent%d.toml", argv[4], i);
        if (quorvel_agent_config_load_or_generate(path, &configs[i]) != 0) {
            fail("configuration");
        }
        if (i != 0) {
            for (int n = 1; n <= networks; ++n) {
                char url[512];
                snprintf(url, sizeof url, "%s/net%d.toml", argv[2], n);
                if (quorvel_agent_config_network_add(path, url) != 0) {
                    fail("network");
                }
            }
            quorvel_agent_config_free(configs[i]);
            if (quorvel_agent_config_load_or_generate(path, &configs[i]) != 0) {
                fail("configuration with networks");
            }
        }
        int pair[2];
        if (quorvel_agent_runtime(&runtimes[i]) != 0 ||
            socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0 ||
            quorvel_agent_tun_device_create(runtimes[i], pair[0], &devices[i]) != 0) {
            fail("runtime or tunnel");
        }
        QuorvelNetworkChangeCallback callback = ignore_change;
        if (i == 0) {
            callback = freed ? free_then_exit : exit_while_held;
        }
        AgentPtr* agent = NULL;
        if (quorvel_agent_start(runtimes[i], configs[i], path, devices[i], callback, NULL,
                                &agent) != 0) {
            fail("start");
        }
        agents[i] = agent;
        if (freed) {
            quorvel_agent_tun_device_free(devices[i]);
            quorvel_agent_config_free(configs[i]);
            quorvel_agent_runtime_free(runtimes[i]);
        }
    }
    struct timespec minute = {60, 0};
    nanosleep(&minute, NULL);
    return kNotReached;
}
