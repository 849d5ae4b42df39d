/*
 * The quorvel agent's C interface: the only way a host application drives the agent.
 *
 * C11, usable from C++ and from a Swift or Objective-C bridging header. Link with
 * `pkg-config --cflags --libs quorvel-agent`.
 *
 * Calling order:
 *   quorvel_agent_init_logging();                      (optional, once per process)
 *   quorvel_agent_runtime(&runtime);
 *   quorvel_agent_config_load_or_generate(path, &config);
 *   quorvel_agent_tun_device_create(runtime, fd, &device);   (optional)
 *   quorvel_agent_start(runtime, config, path, device, callback, NULL, &agent);
 *   ... callbacks arrive; quorvel_agent_status(runtime, agent) at any time ...
 *   quorvel_agent_shutdown(runtime, agent);
 *   quorvel_agent_free(agent); quorvel_agent_tun_device_free(device);
 *   quorvel_agent_config_free(config); quorvel_agent_runtime_free(runtime);   (in any order)
 *
 * Rules shared by every function:
 * - Functions that can fail return an int32_t result code: QUORVEL_AGENT_OK (0) or a negative
 *   code below. Nothing is reported through globals or thread-local values.
 * - A NULL out-parameter, C string, handle or callback gives QUORVEL_AGENT_ERR_FAILURE (-2);
 *   functions that return a pointer return NULL instead. Only `tun_device` of
 *   quorvel_agent_start may be NULL (no device). Every free function accepts NULL.
 * - Incoming strings are NUL-terminated and must be valid UTF-8; otherwise the function returns
 *   QUORVEL_AGENT_ERR_UTF8 (-1) and does nothing. With two strings: both are tested for NULL
 *   first, then the first for UTF-8, then the second.
 * - When a function fails it has written nothing through its out-parameters and keeps nothing
 *   it created.
 * - No exception leaves a function: should its work on the calling thread throw (memory running
 *   out for what the function itself allocates there, say), it logs an ERROR line where logging
 *   still works and returns QUORVEL_AGENT_ERR_FAILURE (-2), or NULL where it returns a pointer.
 *   That covers only the calling thread's own allocations. What runs on a runtime's threads (the
 *   agent's tasks, the handlers of its sockets and timers) is not covered: should memory run out
 *   there, the process may end, or a blocking function waiting for that work may not return.
 *   Nor is the first log line that a thread writes once logging is installed, a host thread's
 *   included: it registers a clean-up of that thread with the C library, which ends the process
 *   when memory runs out for it.
 * - Memory running out on the calling thread leaves things as the function's failure says: an
 *   edit of the network list that returns -2 leaves the file as it was, and after -2 from
 *   quorvel_agent_tun_device_create the descriptor is the host's, open and unchanged. The free
 *   functions release their handle whatever fails meanwhile (a log line may be lost, a task of a
 *   freed agent may sleep on until its runtime stops); the free of a shut-down agent closes its
 *   UDP socket all the same, at once rather than on the runtime when memory runs out for that.
 * - Handles are opaque. Each is freed at most once, by its own free function, and not while
 *   another call still uses it. A handle may be used from any host thread.
 * - Handles may be freed in any order, on any thread, the runtime's own included. Each device and
 *   agent handle keeps the runtime it was made on alive: the runtime's threads stop, and every
 *   task still on the runtime ends, when the last of the runtime handle and the device and agent
 *   handles made on it is freed. Freed on a host thread, that last free returns after the stop;
 *   freed on a runtime's thread (its own or another runtime's, as in a callback that frees
 *   another agent), it returns at once and a thread of the library's own does the stop. A
 *   configuration handle is tied to no runtime.
 * - The tunnel descriptor of a device handle is closed by quorvel_agent_tun_device_free when no
 *   agent was started with the device. Once a start with the device has returned 0, the
 *   descriptor stays open until the runtime stops and is closed by that stop, whether or not the
 *   agent was shut down and in whatever order the handles go.
 * - The process may end with exit() on any thread, the runtime's own included (for example in the
 *   network-change callback, after freeing handles or not). The exit waits for the stops that a
 *   thread of the library's own has in hand, and those stops do not wait for the thread that
 *   called exit(). Handles still held are not released: their runtimes run on until the process
 *   has ended. Handles may still be freed while the exit runs (in the host's own exit handlers,
 *   say). Once the library's exit handler (registered when the first runtime handle is made) has
 *   run, a last free on a runtime's thread returns at once and leaves its runtime running until
 *   the process has ended, like a handle still held; a last free on a host thread stops the
 *   runtime before it returns, as at any other time.
 * - HTTPS requests (the controller, network documents, metrics) may be in flight when the process
 *   exits: the runtimes that run on keep setting up and using their connections until the process
 *   has ended. The library initialises OpenSSL, the TLS library it uses through libcurl, when the
 *   first runtime handle is made, and does so without OpenSSL's exit-time clean-up, so that its
 *   state stays valid through the exit; its memory goes with the process. A host that initialises
 *   OpenSSL itself before that keeps its own choice: with the clean-up left in, an exit while
 *   HTTPS requests are in flight may crash. Such a host either calls
 *   OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, NULL) before any other OpenSSL call, or makes its
 *   first runtime handle before it uses OpenSSL; and it never calls OPENSSL_cleanup() while a
 *   runtime runs. The library's exit handler runs before the clean-up of any library that its
 *   stops use.
 * - A device or agent handle is used only with the runtime handle it was made on; with another
 *   runtime's handle the function refuses (-2, or NULL for the status). Once that runtime handle
 *   is freed, an agent can no longer be shut down or asked for its status, only freed.
 * - Blocking functions (quorvel_agent_start, quorvel_agent_shutdown, quorvel_agent_status,
 *   quorvel_agent_tun_device_create) wait on the runtime. Called on one of the runtime's own
 *   threads, for example from inside the network-change callback, they refuse at once
 *   (-2, or NULL for the status) instead of waiting on themselves. quorvel_agent_free of a
 *   shut-down agent waits on the runtime too when it is called on a host thread, and does not
 *   wait on a runtime's thread (see quorvel_agent_free).
 */
#ifndef QUORVEL_AGENT_H
#define QUORVEL_AGENT_H

#include <stdint.h>

#if defined(_WIN32)
#define QUORVEL_AGENT_API
#elif defined(__GNUC__) || defined(__clang__)
#define QUORVEL_AGENT_API __attribute__((visibility("default")))
#else
#define QUORVEL_AGENT_API
#endif

/* Nothing thrown ever crosses the interface; C++ hosts may rely on it. */
#if defined(__cplusplus)
#define QUORVEL_AGENT_NOEXCEPT noexcept
#else
#define QUORVEL_AGENT_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ---- */

/* Success. */
#define QUORVEL_AGENT_OK 0
/* A C string argument is not valid UTF-8. */
#define QUORVEL_AGENT_ERR_UTF8 (-1)
/* A required pointer is NULL, a blocking function was called on a runtime thread, or the
 * operation failed without a more specific code (configuration file not loadable or not
 * savable in the network-list functions, runtime not buildable, logging already installed,
 * tunnel device not creatable). */
#define QUORVEL_AGENT_ERR_FAILURE (-2)
/* The network URL does not parse as a URL. */
#define QUORVEL_AGENT_ERR_URL_PARSE (-3)
/* The configuration holds no network with that URL. */
#define QUORVEL_AGENT_ERR_NETWORK_NOT_FOUND (-4)
/* The configuration already holds a network with that URL. */
#define QUORVEL_AGENT_ERR_NETWORK_EXISTS (-5)
/* Enable was asked for a network that is not disabled. */
#define QUORVEL_AGENT_ERR_NETWORK_NOT_DISABLED (-6)
/* Disable was asked for a network that is already disabled. */
#define QUORVEL_AGENT_ERR_NETWORK_ALREADY_DISABLED (-7)

/* Agent errors, returned only by quorvel_agent_config_load_or_generate and quorvel_agent_start.
 * -102, -103 and -107 are not assigned. */
#define QUORVEL_AGENT_ERR_HTTP (-101)
#define QUORVEL_AGENT_ERR_AGENT_UTF8 (-104)
#define QUORVEL_AGENT_ERR_IO (-105)
#define QUORVEL_AGENT_ERR_TOML (-106)
#define QUORVEL_AGENT_ERR_AGENT_URL_PARSE (-108)
#define QUORVEL_AGENT_ERR_NETWORK (-109)
#define QUORVEL_AGENT_ERR_IDENTITY (-110)
#define QUORVEL_AGENT_ERR_NODE (-111)
#define QUORVEL_AGENT_ERR_TOML_SERIALIZATION (-112)
#define QUORVEL_AGENT_ERR_CONFIG_PARSE (-113)
#define QUORVEL_AGENT_ERR_NETWORK_ALREADY_EXISTS (-114)
#define QUORVEL_AGENT_ERR_AGENT_NETWORK_NOT_FOUND (-115)
#define QUORVEL_AGENT_ERR_UNSUPPORTED_TUN_CREATION_PLATFORM (-116)
#define QUORVEL_AGENT_ERR_CONTROLLER_MANAGED_NETWORK (-117)
#define QUORVEL_AGENT_ERR_NOT_LOGGED_IN (-118)
#define QUORVEL_AGENT_ERR_CONTROLLER_UNLINK_FAILED (-119)

/* ---- Handles (opaque) ---- */

/* The asynchronous runtime the agent runs on: worker threads, one per processor core. */
typedef struct RuntimePtr RuntimePtr;
/* The host's copy of the agent configuration, detached from its file once loaded. */
typedef struct AgentConfigPtr AgentConfigPtr;
/* A started agent. */
typedef struct AgentPtr AgentPtr;
/* The host's reference to its tunnel device. */
typedef struct TunDevicePtr TunDevicePtr;

/* One entry of the network list returned by quorvel_agent_config_networks. The strings belong
 * to the list and stay valid until quorvel_agent_config_networks_free. */
typedef struct NetworkInfo {
    /* The network's configuration URL, NUL-terminated UTF-8; never NULL. As configured, with the
     * password of its user information. */
    const char* url;
    /* 1 when the network is disabled, otherwise 0. */
    int32_t disabled;
    /* The network's name, NUL-terminated UTF-8; NULL when the network has none. As the network's
     * document gives it, control characters included. */
    const char* name;
} NetworkInfo;

/* What the host must give its tunnel interface, handed to the network-change callback. Every
 * field is a NUL-terminated UTF-8 string, never NULL; the record and its strings exist only
 * while the callback runs (copy what you keep). */
typedef struct NetworkChangeInfo {
    /* The tunnel addresses as address/prefix, joined with "," (e.g. "10.1.0.5/24"); "" for none. */
    const char* ips;
    /* The routes to install through the tunnel, address/prefix joined with ","; "" for none. */
    const char* routes;
    /* The DNS server's dotted-quad address; "" for none. */
    const char* dns_server;
} NetworkChangeInfo;

/* Called on one of the runtime's worker threads, one call at a time per agent, while the agent
 * holds its state lock; the first call can come before quorvel_agent_start has returned. It must
 * not call the blocking functions nor wait for another thread that does (a host thread freeing a
 * shut-down agent included). It may free handles, and it may end the process with exit() (see the
 * release rules above). It must stay callable until the runtime has stopped. */
typedef void (*QuorvelNetworkChangeCallback)(const NetworkChangeInfo* info);

/* ---- Version, logging and runtime ---- */

/* "VERSION (COMMIT)", e.g. "1.0.0-beta.7 (1a2b3c4)", with "-dirty" after a commit built from a
 * changed tree. Static: the same pointer on every call, valid for the life of the process (in exit
 * handlers too); never NULL; do not free or modify. */
QUORVEL_AGENT_API const char* quorvel_agent_version(void) QUORVEL_AGENT_NOEXCEPT;

/* Installs the process-wide logger (every level, subsystem "quorvel-agent", category "default";
 * on Linux it writes to stderr). Returns 0 the first time, -2 on every later call; before it,
 * the agent logs nothing. On Linux the environment variable QUORVEL_LOG sets the lowest level
 * written (trace, debug, info, warn, error or off, in any case; info when unset); any other value
 * is named in one WARN line and info is used. Every line is one line of valid UTF-8: the agent's
 * own secrets (the passwords of its URLs and proxy settings, its shared secret) show as "****",
 * and control characters and bytes that are not UTF-8 are escaped. */
QUORVEL_AGENT_API int32_t quorvel_agent_init_logging(void) QUORVEL_AGENT_NOEXCEPT;

/* Creates a runtime. Returns 0, or -2 for a NULL `out_runtime` or a runtime that cannot be
 * built (threads not creatable). */
QUORVEL_AGENT_API int32_t quorvel_agent_runtime(RuntimePtr** out_runtime) QUORVEL_AGENT_NOEXCEPT;

/* Releases the runtime handle. The runtime stops (its threads are joined and every task still on
 * it ends) with this call when no device or agent handle made on it is left, otherwise with the
 * last of those. */
QUORVEL_AGENT_API void quorvel_agent_runtime_free(RuntimePtr* runtime) QUORVEL_AGENT_NOEXCEPT;

/* ---- Configuration and network list ----
 * These run on the calling thread without a runtime and act on the file alone: a running agent
 * works on its own copy and neither sees these edits nor is stopped from overwriting them.
 * The configuration path may be a symbolic link to the file. A path that names anything else
 * that is not a regular file (a FIFO, a character or block device, a folder, a socket) is refused
 * at once, without being opened for reading and without waiting, and nothing is ever written over
 * it. A file of more than 16 MiB (16777216 bytes, the cap on network documents) is refused too,
 * after no more than that was read. A refusal is -105 from quorvel_agent_config_load_or_generate
 * and -2 from the other functions, with a WARN line that says why: for a folder, a missing file
 * or a file without permission, which the system itself refuses, in the system's words (e.g.
 * "I/O error: Is a directory (os error 21)"); for the kinds it would open and block on, what the
 * path names (e.g. "PATH is a FIFO, not a regular file"). */

/* Loads the configuration file, or creates it with a new identity (a proof of work that can
 * take several seconds; the file is created owner-only) when nothing exists at the path.
 * Returns 0, -1, -2, or an agent error code (e.g. -105 unreadable file, a path that is not a
 * regular file or a file over the cap, or a path that cannot be looked up; -106 invalid TOML). */
QUORVEL_AGENT_API int32_t quorvel_agent_config_load_or_generate(
    const char* config_path, AgentConfigPtr** out_config) QUORVEL_AGENT_NOEXCEPT;

/* Copies the node's 32-byte public key into `out_pk`. Returns 0 or -2. */
QUORVEL_AGENT_API int32_t quorvel_agent_config_id_pk(const AgentConfigPtr* config,
                                                     uint8_t* out_pk) QUORVEL_AGENT_NOEXCEPT;

QUORVEL_AGENT_API void quorvel_agent_config_free(AgentConfigPtr* config) QUORVEL_AGENT_NOEXCEPT;

/* The four edits below (add, remove, enable, disable) each load the file, change it and save it
 * while holding an exclusive lock on the file PATH.lock beside it (beside a symbolic link's
 * target; created empty and owner-only when missing, never removed), so that edits of one file
 * from several threads or processes run one at a time and none is lost. An edit waits up to 30
 * seconds for another to finish; then, or when the lock file cannot be created, it returns -2
 * and leaves the file as it was. A path that is not a regular file is refused before the lock
 * file is made. Reading the list takes no lock. */

/* Adds a network to the file. The file must exist. URLs are compared in normalised form
 * (scheme and host lower-cased, "/" for an empty path). Returns 0, -1, -2, -3 or -5. */
QUORVEL_AGENT_API int32_t quorvel_agent_config_network_add(
    const char* config_path, const char* network_url) QUORVEL_AGENT_NOEXCEPT;

/* Removes a network from the file. The file must exist. Returns 0, -1, -2, -3 or -4. */
QUORVEL_AGENT_API int32_t quorvel_agent_config_network_remove(
    const char* config_path, const char* network_url) QUORVEL_AGENT_NOEXCEPT;

/* Enables a disabled network. A missing file is first created with a new identity.
 * Returns 0, -1, -2, -3, -4 or -6. */
QUORVEL_AGENT_API int32_t quorvel_agent_config_network_enable(
    const char* config_path, const char* network_url) QUORVEL_AGENT_NOEXCEPT;

/* Disables an enabled network. A missing file is first created with a new identity.
 * Returns 0, -1, -2, -3, -4 or -7. */
QUORVEL_AGENT_API int32_t quorvel_agent_config_network_disable(
    const char* config_path, const char* network_url) QUORVEL_AGENT_NOEXCEPT;

/* Lists the file's networks, sorted by URL: `*out_networks` receives an array of `*out_count`
 * records (NULL and 0 when there are none). Release it with quorvel_agent_config_networks_free.
 * Returns 0, -1 or -2 (also when memory runs out for the list). */
QUORVEL_AGENT_API int32_t quorvel_agent_config_networks(const char* config_path,
                                                        NetworkInfo** out_networks,
                                                        int32_t* out_count) QUORVEL_AGENT_NOEXCEPT;

/* The four list functions below accept only an address that quorvel_agent_config_networks
 * handed out and quorvel_agent_config_networks_free has not released yet, and they read nothing
 * but that list. Any other address (NULL, an array the host built, a released list, an address
 * inside a list) is unknown: the accessors return NULL (-1 for the disabled flag) and the free
 * does nothing. A list may be read on several threads at once, and read on one thread while it
 * is freed on another; a string read from it stays valid only until the free. */

/* The URL of entry `index`; NULL for an unknown list or an index outside the list. The URL is
 * handed over as it stands, its password included, for the host to keep or to pass back: a host
 * that shows it to a person hides the password and escapes its control characters first, as the
 * agent's own log and status report do. */
QUORVEL_AGENT_API const char* quorvel_agent_network_url(const NetworkInfo* networks,
                                                        int32_t index) QUORVEL_AGENT_NOEXCEPT;

/* 1 when entry `index` is disabled, 0 when not; -1 for an unknown list or an index outside it. */
QUORVEL_AGENT_API int32_t quorvel_agent_network_disabled(const NetworkInfo* networks,
                                                         int32_t index) QUORVEL_AGENT_NOEXCEPT;

/* The name of entry `index`; NULL when it has none, for an unknown list or an index outside it.
 * The name comes from the network's document as it stands: it may hold control characters (a
 * line feed, a terminal's escape sequence), which a host escapes before it shows the name. */
QUORVEL_AGENT_API const char* quorvel_agent_network_name(const NetworkInfo* networks,
                                                         int32_t index) QUORVEL_AGENT_NOEXCEPT;

/* Releases a list and its strings. `count` is the count returned with it; nothing is done for an
 * unknown list or a count below 1. The whole list is released even when `count` differs. */
QUORVEL_AGENT_API void quorvel_agent_config_networks_free(NetworkInfo* networks,
                                                          int32_t count) QUORVEL_AGENT_NOEXCEPT;

/* ---- Agent lifecycle ---- */

/* The three fields of a network-change record; NULL for a NULL record. Valid only inside the
 * callback call that received `info`. */
QUORVEL_AGENT_API const char* quorvel_agent_network_change_ips(const NetworkChangeInfo* info)
    QUORVEL_AGENT_NOEXCEPT;
QUORVEL_AGENT_API const char* quorvel_agent_network_change_routes(const NetworkChangeInfo* info)
    QUORVEL_AGENT_NOEXCEPT;
QUORVEL_AGENT_API const char* quorvel_agent_network_change_dns_server(const NetworkChangeInfo* info)
    QUORVEL_AGENT_NOEXCEPT;

/* Starts an agent on `runtime` with a copy of `config` (the handle stays the host's and may be
 * freed after the start), saving its configuration to `config_path`. `tun_device` may be NULL
 * for an agent without a tunnel; otherwise the agent takes a reference of its own, so the host
 * may free its device handle after the start; a device made on another runtime is refused (-2).
 * `ignored` is never read. Blocks until the agent runs. Returns 0 with the new handle in
 * `*out_agent`, -1, -2, or an agent error code of a failed start (e.g. -111 when the P2P node
 * cannot bind), leaving `*out_agent` untouched and nothing of the agent running. The agent's
 * saves replace only a regular file (or a link's target): with a FIFO or a device at
 * `config_path`, each save fails and is logged, and what stands there stays. */
QUORVEL_AGENT_API int32_t quorvel_agent_start(const RuntimePtr* runtime,
                                              const AgentConfigPtr* config, const char* config_path,
                                              const TunDevicePtr* tun_device,
                                              QuorvelNetworkChangeCallback network_change_callback,
                                              void* ignored,
                                              AgentPtr** out_agent) QUORVEL_AGENT_NOEXCEPT;

/* Stops the agent's work and withdraws what it applied; blocks until done. The handle stays
 * valid for quorvel_agent_status and must still be freed. Returns 0, or -2 for a NULL handle, a
 * runtime handle other than the agent's, or a call on a runtime thread. */
QUORVEL_AGENT_API int32_t quorvel_agent_shutdown(const RuntimePtr* runtime,
                                                 const AgentPtr* agent) QUORVEL_AGENT_NOEXCEPT;

/* Releases the agent handle; the agent goes before the handle's hold on the runtime.
 * - An agent that was shut down (quorvel_agent_shutdown) has its P2P node stopped, and its UDP
 *   socket closes on the runtime. Called on a host thread, the free returns only once that socket
 *   is closed, so that a start right after it (the same configuration, the same QUORVEL_UDP_PORT)
 *   can bind the port. Called on a runtime's thread (from the network-change callback, say), it
 *   does not wait, since the close may need that very thread: it returns at once, and the socket
 *   closes soon after, so a start on a host thread at that moment may still find the port taken
 *   (-111).
 * - An agent that was not shut down runs on, its tasks and its socket with it, until its runtime
 *   stops (see the release rules above); the free returns at once, and a start on the same port
 *   meanwhile gets -111. */
QUORVEL_AGENT_API void quorvel_agent_free(AgentPtr* agent) QUORVEL_AGENT_NOEXCEPT;

/* ---- Tunnel device and sockets ---- */

/* Wraps the host's tunnel descriptor (one IP packet per read and write, without a packet
 * information header on Linux) as the agent's tunnel device, which takes over the descriptor and
 * closes it as the release rules above say. Returns 0, or -2, after which the descriptor is still
 * the host's, open and unchanged. */
QUORVEL_AGENT_API int32_t quorvel_agent_tun_device_create(
    const RuntimePtr* runtime, int32_t fd, TunDevicePtr** out_device) QUORVEL_AGENT_NOEXCEPT;

/* Releases the host's reference; a started agent keeps the device it uses until its runtime
 * stops. Closes the descriptor when no agent was started with the device. */
QUORVEL_AGENT_API void quorvel_agent_tun_device_free(TunDevicePtr* device) QUORVEL_AGENT_NOEXCEPT;

/* Nothing to do on this platform (the node uses one UDP socket); returns 0. */
QUORVEL_AGENT_API int32_t quorvel_agent_close_udp_sockets(void* ignored) QUORVEL_AGENT_NOEXCEPT;

/* ---- Status ---- */

/* The agent's status report as NUL-terminated UTF-8 text, without secrets. Blocks while a
 * housekeeping pass runs. The string is allocated with malloc and belongs to the host, which
 * releases it with free(). NULL for a NULL handle, a runtime handle other than the agent's, a
 * call on a runtime thread, or when memory runs out for the report or its copy. Like the log, the
 * report shows the agent's own secrets as "****" and escapes control characters and bytes that are
 * not UTF-8 in every value. */
QUORVEL_AGENT_API char* quorvel_agent_status(const RuntimePtr* runtime,
                                             const AgentPtr* agent) QUORVEL_AGENT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_AGENT_H */
