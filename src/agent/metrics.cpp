#include "agent/metrics.h"

#include "agent/inner.h"
#include "controller/client.h"
#include "p2p/env.h"
#include "util/log.h"
#include "util/unicode.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <limits>
#include <utility>

extern char** environ;

namespace quorvel::agent {

namespace {

struct OsName {
    Os os;
    std::string_view display;
};

constexpr std::array<OsName, 21> kOsNames{{
    {Os::MacOs, "macOS"},
    {Os::Windows, "Windows"},
    {Os::TvOs, "tvOS"},
    {Os::Ios, "iOS"},
    {Os::IpadOs, "iPadOS"},
    {Os::Android, "Android"},
    {Os::Linux, "Linux"},
    {Os::Ubuntu, "Ubuntu"},
    {Os::Debian, "Debian"},
    {Os::Fedora, "Fedora"},
    {Os::CentOs, "CentOS"},
    {Os::Rhel, "RHEL"},
    {Os::Arch, "Arch"},
    {Os::OpenSuse, "openSUSE"},
    {Os::Sles, "SLES"},
    {Os::Gentoo, "Gentoo"},
    {Os::Slackware, "Slackware"},
    {Os::LinuxMint, "Linux Mint"},
    {Os::ElementaryOs, "elementary OS"},
    {Os::Manjaro, "Manjaro"},
    {Os::Raspbian, "Raspbian"},
}};

// Further names that the parser takes as exact matches.
constexpr std::array<OsName, 5> kOsAliases{{
    {Os::Rhel, "Red Hat Enterprise Linux"},
    {Os::Arch, "Arch Linux"},
    {Os::Sles, "SLE"},
    {Os::Sles, "SUSE Linux Enterprise"},
    {Os::Raspbian, "Raspberry Pi OS"},
}};

bool contains(std::string_view text, std::string_view needle) {
    return text.find(needle) != std::string_view::npos;
}

// The text without leading and trailing Unicode white space; `text` is valid UTF-8.
std::string_view trim_unicode(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t start = 0;
    while (start < length) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(bytes, next, length, c);
        if (c < 0 || !u_isUWhiteSpace(c)) {
            break;
        }
        start = next;
    }
    int32_t end = length;
    while (end > start) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, start, previous, c);
        if (c < 0 || !u_isUWhiteSpace(c)) {
            break;
        }
        end = previous;
    }
    return text.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}

// A command's trimmed output, or none when it could not be started or printed something that
// is not UTF-8.
std::optional<std::string> command_text(CommandRunner& runner, const std::string& program,
                                        const std::vector<std::string>& args) {
    auto output = runner.run(program, args);
    if (!output || !is_valid_utf8(*output)) {
        return std::nullopt;
    }
    return std::string(trim_unicode(*output));
}

Os detect_os(CommandRunner& runner) {
    auto machine = command_text(runner, "uname", {"-m"});
    if (machine && unicode_to_lower(*machine).starts_with("ipad")) {
        return Os::IpadOs;
    }
    auto model = command_text(runner, "sysctl", {"-n", "hw.model"});
    if (model && contains(unicode_to_lower(*model), "ipad")) {
        return Os::IpadOs;
    }
    return Os::Ios;
}

// A signed 32-bit decimal: one optional sign, then ASCII digits only.
std::optional<int32_t> parse_i32(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.starts_with('+')) {
        return std::nullopt;
    }
    constexpr uint64_t kMax = std::numeric_limits<int32_t>::max();
    auto magnitude = p2p::util::system::parse_unsigned(text, negative ? kMax + 1 : kMax);
    if (!magnitude) {
        return std::nullopt;
    }
    return static_cast<int32_t>(negative ? -static_cast<int64_t>(*magnitude)
                                         : static_cast<int64_t>(*magnitude));
}

// The product version from a kernel release "major.minor.rest": major minus 4 when that lies in
// 1 to 99, else the release unchanged.
std::string product_version_from_kernel(const std::string& release) {
    auto first = release.find('.');
    if (first == std::string::npos) {
        return release;
    }
    auto second = release.find('.', first + 1);
    if (second == std::string::npos) {
        return release;
    }
    auto major = parse_i32(std::string_view(release).substr(0, first));
    auto minor = parse_i32(std::string_view(release).substr(first + 1, second - first - 1));
    if (!major || !minor) {
        return release;
    }
    const int64_t product = int64_t{*major} - 4;
    if (product < 1 || product > 99) {
        return release;
    }
    return std::to_string(product) + "." + std::to_string(*minor);
}

std::optional<std::string> detect_os_version(CommandRunner& runner) {
    auto product = command_text(runner, "sw_vers", {"-productVersion"});
    if (product && !product->empty()) {
        return product;
    }
    auto release = command_text(runner, "uname", {"-r"});
    if (!release || release->empty()) {
        return std::nullopt;
    }
    return product_version_from_kernel(*release);
}

// A descriptor, closed when it goes out of scope.
class OwnedFd {
  public:
    explicit OwnedFd(int fd) noexcept : fd_(fd) {}
    OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OwnedFd& operator=(OwnedFd&&) = delete;
    ~OwnedFd() { reset(); }
    int get() const { return fd_; }
    void reset() noexcept {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_;
};

// The file actions of one spawn, destroyed when they go out of scope.
class SpawnActions {
  public:
    SpawnActions() noexcept : ready_(posix_spawn_file_actions_init(&actions_) == 0) {}
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    ~SpawnActions() {
        if (ready_) {
            posix_spawn_file_actions_destroy(&actions_);
        }
    }

    // The child reads end of file, writes its standard output to `output` and its standard error
    // nowhere; false when the actions could not be recorded (memory ran out).
    bool redirect(int output) noexcept {
        ready_ = ready_ &&
                 posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY,
                                                  0) == 0 &&
                 posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY,
                                                  0) == 0 &&
                 posix_spawn_file_actions_adddup2(&actions_, output, STDOUT_FILENO) == 0;
        return ready_;
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
    bool ready_;
};

// A started command and the read end of its standard output. Going out of scope, on any path,
// closes the read end first (a command still writing then ends on a broken pipe) and waits for the
// command, so no descriptor is left open and no child unreaped.
class RunningCommand {
  public:
    RunningCommand(OwnedFd output, pid_t pid) noexcept : output_(std::move(output)), pid_(pid) {}
    RunningCommand(RunningCommand&& other) noexcept
        : output_(std::move(other.output_)), pid_(std::exchange(other.pid_, 0)) {}
    RunningCommand& operator=(RunningCommand&&) = delete;
    ~RunningCommand() {
        output_.reset();
        if (pid_ > 0) {
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }

    // Reads the output to its end; a runaway command is drained, but only the first `limit` bytes
    // (and the rest of the read that reached them) are kept.
    std::string read_output(size_t limit) {
        std::string output;
        std::array<char, 4096> buffer;
        for (;;) {
            ssize_t n = read(output_.get(), buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return output;
            }
            if (output.size() < limit) {
                output.append(buffer.data(), static_cast<size_t>(n));
            }
        }
    }

  private:
    OwnedFd output_;
    pid_t pid_;
};

class SystemCommandRunner : public CommandRunner {
  public:
    std::optional<std::string> run(const std::string& program,
                                   const std::vector<std::string>& args) override {
        // Built before any descriptor is made: an allocation that fails here holds nothing.
        const std::vector<char*> argv = argument_vector(program, args);
        auto command = start(program, argv);
        if (!command) {
            return std::nullopt;
        }
        return command->read_output(kMaxOutput);
    }

  private:
    static constexpr size_t kMaxOutput = 64 * 1024;

    static std::vector<char*> argument_vector(const std::string& program,
                                              const std::vector<std::string>& args) {
        std::vector<char*> argv;
        argv.reserve(args.size() + 2);
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        return argv;
    }

    // The command started with its standard output on a pipe; none when it could not be.
    static std::optional<RunningCommand> start(const std::string& program,
                                               const std::vector<char*>& argv) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            return std::nullopt;
        }
        OwnedFd read_end(ends[0]);
        // Closed when this returns, so that the parent reads end of file once the child exits.
        OwnedFd write_end(ends[1]);
        SpawnActions actions;
        if (!actions.redirect(write_end.get())) {
            return std::nullopt;
        }
        pid_t pid = 0;
        if (posix_spawnp(&pid, program.c_str(), actions.get(), nullptr, argv.data(), environ) !=
            0) {
            return std::nullopt;
        }
        return std::optional<RunningCommand>(std::in_place, std::move(read_end), pid);
    }
};

std::string join_lines(const std::vector<std::string>& lines) {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            text += '\n';
        }
        text += lines[i];
    }
    return text;
}

std::optional<std::string> network_line(const std::string& url,
                                        const network::NetworkHealth& health) {
    using Kind = network::NetworkHealth::Kind;
    switch (health.kind()) {
        case Kind::Pending:
            return "Network " + url + ": Cannot apply desired configuration";
        case Kind::RetrieveConfigError:
            return "Network " + url + ": RetrieveConfigError - " + health.text();
        case Kind::NotAMemberError:
            return "Network " + url + ": Cannot join network - not a member";
        case Kind::InvalidConfigError:
            return "Network " + url + ": InvalidConfigError - " + health.text();
        case Kind::Initializing:
        case Kind::Disabled:
        case Kind::Ok:
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::string_view os_display(Os os) {
    return kOsNames[static_cast<size_t>(os)].display;
}

Result<Os, OsParseError> parse_os(std::string_view text) {
    for (const auto& name : kOsNames) {
        if (text == name.display) {
            return name.os;
        }
    }
    for (const auto& name : kOsAliases) {
        if (text == name.display) {
            return name.os;
        }
    }
    const std::string lower = unicode_to_lower(text);
    struct Rule {
        std::string_view needle;
        std::string_view also;
        Os os;
    };
    static constexpr std::array<Rule, 20> kRules{{
        {"ubuntu", {}, Os::Ubuntu},
        {"debian", {}, Os::Debian},
        {"fedora", {}, Os::Fedora},
        {"centos", {}, Os::CentOs},
        {"red hat", {}, Os::Rhel},
        {"rhel", {}, Os::Rhel},
        {"arch linux", {}, Os::Arch},
        {"arch", "linux", Os::Arch},
        {"opensuse", {}, Os::OpenSuse},
        {"suse", "enterprise", Os::Sles},
        {"gentoo", {}, Os::Gentoo},
        {"slackware", {}, Os::Slackware},
        {"linux mint", {}, Os::LinuxMint},
        {"mint", {}, Os::LinuxMint},
        {"elementary", {}, Os::ElementaryOs},
        {"manjaro", {}, Os::Manjaro},
        {"raspbian", {}, Os::Raspbian},
        {"raspios", {}, Os::Raspbian},
        {"raspberry pi os", {}, Os::Raspbian},
        {"linux", {}, Os::Linux},
    }};
    for (const auto& rule : kRules) {
        if (contains(lower, rule.needle) && (rule.also.empty() || contains(lower, rule.also))) {
            return rule.os;
        }
    }
    return unexpected(OsParseError{});
}

CommandRunner& system_command_runner() {
    // Never destroyed: a metrics pass on a runtime worker may still use it while the process exits.
    static SystemCommandRunner& runner = *new SystemCommandRunner;
    return runner;
}

std::string_view build_arch() {
#if defined(__aarch64__)
    return "aarch64";
#elif defined(__x86_64__)
    return "x86_64";
#elif defined(__arm__)
    return "arm";
#elif defined(__i386__)
    return "x86";
#else
    return "unknown";
#endif
}

UpdateNodeMetricsRequest build_metrics_request(CommandRunner& runner, const VersionInfo& version,
                                               std::optional<std::string> ui_version,
                                               std::optional<std::string> error_logs) {
    UpdateNodeMetricsRequest request;
    request.os = std::string(os_display(detect_os(runner)));
    request.os_version = detect_os_version(runner);
    request.os_arch = std::string(build_arch());
    request.quorvel_agent_version = version.version + " (" + version.full_commit() + ")";
    request.quorvel_ui_version = std::move(ui_version);
    request.error_logs = std::move(error_logs);
    return request;
}

UpdateNodeMetricsRequest build_metrics_request(std::optional<std::string> ui_version,
                                               std::optional<std::string> error_logs) {
    return build_metrics_request(system_command_runner(), VersionInfo(), std::move(ui_version),
                                 std::move(error_logs));
}

std::vector<SubnetOverlap> find_overlapping_subnets(const NetworkMap& networks) {
    std::vector<std::pair<const Url*, Ipv4Net>> candidates;
    for (const auto& [url, network] : networks) {
        if (!network.disabled && network.desired_state.ip.applied) {
            candidates.emplace_back(&url, *network.desired_state.ip.applied);
        }
    }
    std::vector<SubnetOverlap> overlaps;
    for (size_t i = 0; i < candidates.size(); ++i) {
        for (size_t j = i + 1; j < candidates.size(); ++j) {
            const Ipv4Net& a = candidates[i].second;
            const Ipv4Net& b = candidates[j].second;
            // Two prefixes are disjoint or nested: sharing an address means one holds an end
            // of the other.
            if (a.contains(b.network()) || a.contains(b.broadcast()) || b.contains(a.network()) ||
                b.contains(a.broadcast())) {
                overlaps.push_back(SubnetOverlap{*candidates[i].first, *candidates[j].first, a, b});
            }
        }
    }
    return overlaps;
}

std::vector<std::string> metrics_error_lines(const AgentConfig& config,
                                             const SuperPeerList& super_peers, p2p::Instant now) {
    std::vector<std::string> lines;
    for (const auto& [url, network] : config.network) {
        if (url.scheme() != "controller") {
            continue;
        }
        if (auto line = network_line(mask_url(url), network.health)) {
            lines.push_back(std::move(*line));
        }
    }
    for (const auto& overlap : find_overlapping_subnets(config.network)) {
        lines.push_back(
            fmt::format("Subnet conflict: Network {} ({}) overlaps with Network {} ({})",
                        mask_url(overlap.first_url), overlap.first_net,
                        mask_url(overlap.second_url), overlap.second_net));
    }
    const std::vector<p2p::SuperPeerUrl> urls = config.super_peers_or_default();
    for (const auto& [pk, super_peer] : super_peers) {
        if (super_peer->stats(now).reachable) {
            continue;
        }
        for (const auto& url : urls) {
            if (url.pk() == pk) {
                lines.push_back("Super Peer " + url.to_string() + ": Not reachable");
                break;
            }
        }
    }
    return lines;
}

boost::asio::awaitable<Result<void, Error>> send_metrics(MetricsContext context,
                                                         const AgentConfig& config,
                                                         std::string shared_secret,
                                                         std::optional<std::string> ui_version) {
    std::string base_url = config.controller_url();
    std::string error_logs =
        join_lines(metrics_error_lines(config, context.super_peers, p2p::Clock::now()));
    context.super_peers.clear();
    CommandRunner& runner = context.runner ? *context.runner : system_command_runner();
    auto request =
        build_metrics_request(runner, VersionInfo(), std::move(ui_version), std::move(error_logs));
    auto client = controller::ControllerClient::create(
        std::move(base_url), controller::ControllerAuth::hmac(std::move(shared_secret)),
        context.public_key, std::move(context.http_options));
    if (!client) {
        co_return unexpected(Error(Error::ConfigParse{"Failed to create controller client: " +
                                                      client.error().to_string()}));
    }
    QV_TRACE(kMetricsTarget, "Sending metrics to controller: {}",
             controller_api::request::metrics::debug(request));
    auto uploaded = co_await client->upload_metrics(std::move(request));
    if (uploaded) {
        QV_TRACE(kMetricsTarget, "Metrics uploaded successfully");
    } else {
        QV_WARN(kMetricsTarget, "Metrics upload failed: {}", uploaded.error());
    }
    co_return Result<void, Error>();
}

boost::asio::awaitable<Result<void, Error>> send_metrics(std::shared_ptr<AgentInner> self,
                                                         const inner::State& state,
                                                         std::string shared_secret,
                                                         std::optional<std::string> ui_version) {
    MetricsContext context{self->public_key(),
                           self->node() ? self->node()->super_peers() : SuperPeerList{},
                           &system_command_runner(), controller::controller_http_options()};
    co_return co_await send_metrics(std::move(context), state.config, std::move(shared_secret),
                                    std::move(ui_version));
}

}  // namespace quorvel::agent
