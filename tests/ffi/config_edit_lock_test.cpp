// Edits of one configuration file from several threads and processes at once, through the C
// interface: every edit that reports success is in the file afterwards, the codes for "exists"
// and "not found" stay right, a missing file gets one identity, and an edit that cannot have the
// file's lock gives up with a warning that names the lock file.
#include "agent/agent_test_util.h"
#include "ffi/config_edit.h"
#include "ffi/ffi_common.h"
#include "util/file_lock.h"
#include "util/log.h"
#include "util/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <latch>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::ffi {
namespace {

using namespace std::chrono_literals;
using quorvel::testing::TempDir;

// The networks of a file: URL -> disabled.
using Networks = std::map<std::string, bool>;

Networks listed(const std::string& path) {
    NetworkInfo* list = nullptr;
    int32_t count = 0;
    EXPECT_EQ(quorvel_agent_config_networks(path.c_str(), &list, &count), QUORVEL_AGENT_OK);
    Networks networks;
    for (int32_t i = 0; i < count; ++i) {
        networks[quorvel_agent_network_url(list, i)] = quorvel_agent_network_disabled(list, i) == 1;
    }
    quorvel_agent_config_networks_free(list, count);
    return networks;
}

// The public key of the file's identity as a later caller loads it; empty when loading fails.
std::string loaded_key(const std::string& path) {
    AgentConfigPtr* config = nullptr;
    if (quorvel_agent_config_load_or_generate(path.c_str(), &config) != QUORVEL_AGENT_OK) {
        return {};
    }
    std::array<uint8_t, 32> pk{};
    const bool read = quorvel_agent_config_id_pk(config, pk.data()) == QUORVEL_AGENT_OK;
    quorvel_agent_config_free(config);
    return read ? std::string(pk.begin(), pk.end()) : std::string();
}

// What one editor did: the codes that were not the expected ones, and what the codes it got say
// its networks are now.
struct EditorOutcome {
    std::vector<std::string> wrong_codes;
    Networks networks;
};

using EditFn = int32_t (*)(const char*, const char*) noexcept;

// Takes `count` networks of its own through add, a repeated add, remove, a repeated remove, add
// again, disable, a repeated disable, enable and a repeated enable; a third stop after the
// removals (gone), a third after the disabling (disabled), the rest run through (enabled).
EditorOutcome edit_networks(const std::string& path, const std::string& editor, int count) {
    enum class Change { Add, Remove, Disable, Enable };
    struct Step {
        const char* name;
        EditFn edit;
        Change change;
        int32_t expected;
    };
    static constexpr Step kSteps[] = {
        {"add", quorvel_agent_config_network_add, Change::Add, QUORVEL_AGENT_OK},
        {"add again", quorvel_agent_config_network_add, Change::Add,
         QUORVEL_AGENT_ERR_NETWORK_EXISTS},
        {"remove", quorvel_agent_config_network_remove, Change::Remove, QUORVEL_AGENT_OK},
        {"remove again", quorvel_agent_config_network_remove, Change::Remove,
         QUORVEL_AGENT_ERR_NETWORK_NOT_FOUND},
        {"add back", quorvel_agent_config_network_add, Change::Add, QUORVEL_AGENT_OK},
        {"disable", quorvel_agent_config_network_disable, Change::Disable, QUORVEL_AGENT_OK},
        {"disable again", quorvel_agent_config_network_disable, Change::Disable,
         QUORVEL_AGENT_ERR_NETWORK_ALREADY_DISABLED},
        {"enable", quorvel_agent_config_network_enable, Change::Enable, QUORVEL_AGENT_OK},
        {"enable again", quorvel_agent_config_network_enable, Change::Enable,
         QUORVEL_AGENT_ERR_NETWORK_NOT_DISABLED},
    };
    constexpr size_t kStepsTo[] = {4, 7, std::size(kSteps)};

    EditorOutcome outcome;
    for (int i = 0; i < count; ++i) {
        const std::string url = "http://" + editor + ".example/net-" + std::to_string(i) + ".toml";
        for (size_t s = 0; s < kStepsTo[i % 3]; ++s) {
            const Step& step = kSteps[s];
            const int32_t code = step.edit(path.c_str(), url.c_str());
            if (code != step.expected) {
                outcome.wrong_codes.push_back(url + " " + step.name + ": " + std::to_string(code) +
                                              " instead of " + std::to_string(step.expected));
            }
            if (code != QUORVEL_AGENT_OK) {
                continue;
            }
            switch (step.change) {
                case Change::Add:
                case Change::Enable:
                    outcome.networks[url] = false;
                    break;
                case Change::Remove:
                    outcome.networks.erase(url);
                    break;
                case Change::Disable:
                    outcome.networks[url] = true;
                    break;
            }
        }
    }
    return outcome;
}

// The networks each editor of `count` networks ends with, by its steps.
Networks expected_networks(const std::vector<std::string>& editors, int count) {
    Networks networks;
    for (const auto& editor : editors) {
        for (int i = 0; i < count; ++i) {
            if (i % 3 != 0) {
                networks["http://" + editor + ".example/net-" + std::to_string(i) + ".toml"] =
                    i % 3 == 1;
            }
        }
    }
    return networks;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line + "\n";
    }
    return text;
}

class ConfigEditLockTest : public ::testing::Test {
  protected:
    void create_config() {
        AgentConfigPtr* config = nullptr;
        ASSERT_EQ(quorvel_agent_config_load_or_generate(path_.c_str(), &config), QUORVEL_AGENT_OK);
        quorvel_agent_config_free(config);
    }

    // A new identity needs a proof of work; a low difficulty keeps it quick.
    agent::testing::NodeEnvironment environment_{{{"MIN_POW_DIFFICULTY", "4"}}};
    TempDir dir_;
    const std::string path_ = dir_.file("agent.toml");
};

TEST_F(ConfigEditLockTest, ThreadsEditingOneFileKeepEveryEdit) {
    create_config();
    const std::string key = loaded_key(path_);
    const std::vector<std::string> editors = {"alpha", "bravo", "charlie", "delta"};
    constexpr int kCount = 30;
    std::vector<EditorOutcome> outcomes(editors.size());
    std::latch start(static_cast<std::ptrdiff_t>(editors.size()));
    std::vector<std::thread> threads;
    for (size_t t = 0; t < editors.size(); ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            outcomes[t] = edit_networks(path_, editors[t], kCount);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    Networks reported;
    for (const auto& outcome : outcomes) {
        EXPECT_EQ(joined(outcome.wrong_codes), "");
        reported.insert(outcome.networks.begin(), outcome.networks.end());
    }
    EXPECT_EQ(reported, expected_networks(editors, kCount));
    EXPECT_EQ(listed(path_), reported);
    EXPECT_EQ(loaded_key(path_), key);
    EXPECT_EQ(dir_.entries(), (std::set<std::string>{"agent.toml", "agent.toml.lock"}));
}

// Each child process edits networks of its own and reports through a pipe, one line each: the
// codes that were wrong ("wrong TEXT") and the networks its codes say it left ("kept URL 0|1").
TEST_F(ConfigEditLockTest, ProcessesEditingOneFileKeepEveryEdit) {
    create_config();
    const std::vector<std::string> editors = {"echo", "foxtrot", "golf"};
    constexpr int kCount = 30;
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<std::pair<pid_t, int>> children;
    for (const auto& editor : editors) {
        int report[2];
        ASSERT_EQ(::pipe(report), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // A hang ends in SIGALRM, which the parent sees as a failure.
            ::alarm(120);
            ::close(gate[1]);
            ::close(report[0]);
            // All start once the parent closes the gate.
            char byte = 0;
            [[maybe_unused]] ssize_t n = ::read(gate[0], &byte, 1);
            const EditorOutcome outcome = edit_networks(path_, editor, kCount);
            std::string text;
            for (const auto& line : outcome.wrong_codes) {
                text += "wrong " + line + "\n";
            }
            for (const auto& [url, disabled] : outcome.networks) {
                text += "kept " + url + " " + (disabled ? "1" : "0") + "\n";
            }
            for (size_t written = 0; written < text.size();) {
                n = ::write(report[1], text.data() + written, text.size() - written);
                if (n <= 0) {
                    ::_exit(3);
                }
                written += static_cast<size_t>(n);
            }
            ::_exit(0);
        }
        ::close(report[1]);
        children.emplace_back(pid, report[0]);
    }
    ::close(gate[0]);
    ::close(gate[1]);

    Networks reported;
    std::vector<std::string> wrong_codes;
    for (const auto& [pid, fd] : children) {
        std::string text;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<size_t>(n));
        }
        ::close(fd);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        std::istringstream lines(text);
        std::string kind;
        while (lines >> kind) {
            std::string rest;
            std::getline(lines, rest);
            if (kind == "kept") {
                std::istringstream fields(rest);
                std::string url;
                int disabled = -1;
                fields >> url >> disabled;
                reported[url] = disabled == 1;
            } else {
                wrong_codes.push_back(kind + rest);
            }
        }
    }
    EXPECT_EQ(joined(wrong_codes), "");
    EXPECT_EQ(reported, expected_networks(editors, kCount));
    EXPECT_EQ(listed(path_), reported);
}

// Enabling and disabling create a missing file with a new identity. Callers that come at once
// find no network in it (-4), and all of them, later, load the one identity it holds.
TEST_F(ConfigEditLockTest, MissingFileEditedAtOnceGetsOneIdentity) {
    // A proof of work that takes a moment, so that the callers overlap while it runs.
    agent::testing::NodeEnvironment slower(
        std::map<std::string, std::string>{{"MIN_POW_DIFFICULTY", "12"}});
    constexpr int kRounds = 3;
    constexpr size_t kCallers = 6;
    for (int round = 0; round < kRounds; ++round) {
        const std::string path = dir_.file("round-" + std::to_string(round) + ".toml");
        std::array<int32_t, kCallers> codes{};
        std::array<std::string, kCallers> keys;
        std::latch start(kCallers);
        std::vector<std::thread> threads;
        for (size_t t = 0; t < kCallers; ++t) {
            threads.emplace_back([&, t] {
                EditFn edit = t % 2 == 0 ? quorvel_agent_config_network_enable
                                         : quorvel_agent_config_network_disable;
                start.arrive_and_wait();
                codes[t] = edit(path.c_str(), "http://hotel.example/net.toml");
                keys[t] = loaded_key(path);
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        const std::string key = loaded_key(path);
        ASSERT_EQ(key.size(), 32u) << "round " << round;
        for (size_t t = 0; t < kCallers; ++t) {
            EXPECT_EQ(codes[t], QUORVEL_AGENT_ERR_NETWORK_NOT_FOUND)
                << "round " << round << ", caller " << t;
            EXPECT_EQ(keys[t], key) << "round " << round << ", caller " << t;
        }
        EXPECT_TRUE(listed(path).empty()) << "round " << round;
    }
}

// While another party holds the lock, every edit gives up after its time with -2 and a warning
// naming the lock file, and the file keeps its bytes; an edit that waits while the holder lets
// go within the time goes through. The lock file stays, empty and owner-only.
TEST_F(ConfigEditLockTest, HeldLockMakesEditsGiveUpAndLeaveTheFileAlone) {
    create_config();
    const std::string kept = "http://india.example/net.toml";
    ASSERT_EQ(quorvel_agent_config_network_add(path_.c_str(), kept.c_str()), QUORVEL_AGENT_OK);
    const std::string before = quorvel::testing::read_file(path_);
    const std::string lock_path = path_ + ".lock";
    auto held = std::make_optional(FileLock::acquire(lock_path, 0ms));
    ASSERT_TRUE(held->has_value()) << held->error().to_string();

    log::ScopedCapture capture;
    const std::pair<NetworkEdit, const char*> edits[] = {
        {NetworkEdit::Add, "http://juliett.example/net.toml"},
        {NetworkEdit::Remove, kept.c_str()},
        {NetworkEdit::Disable, kept.c_str()},
        {NetworkEdit::Enable, kept.c_str()},
    };
    for (const auto& [edit, url] : edits) {
        EXPECT_EQ(edit_network(path_.c_str(), url, edit, 200ms), QUORVEL_AGENT_ERR_FAILURE) << url;
    }
    const std::string warning = "Could not lock " + lock_path + " to edit " + path_ +
                                ": timed out after 200 ms waiting for another holder to release it";
    EXPECT_EQ(capture->count(log::Level::Warn, warning), std::size(edits));
    EXPECT_EQ(quorvel::testing::read_file(path_), before);

    std::atomic<bool> released{false};
    std::atomic<bool> released_before_return{false};
    int32_t code = -100;
    std::thread waiter([&] {
        code = quorvel_agent_config_network_add(path_.c_str(), "http://kilo.example/net.toml");
        released_before_return = released.load();
    });
    std::this_thread::sleep_for(300ms);
    released = true;
    held.reset();
    waiter.join();
    EXPECT_EQ(code, QUORVEL_AGENT_OK);
    EXPECT_TRUE(released_before_return);
    EXPECT_EQ(listed(path_), (Networks{{kept, false}, {"http://kilo.example/net.toml", false}}));

    EXPECT_EQ(dir_.entries(), (std::set<std::string>{"agent.toml", "agent.toml.lock"}));
    EXPECT_EQ(quorvel::testing::read_file(lock_path), "");
    EXPECT_EQ(quorvel::testing::file_mode(lock_path), 0600u);
}

// Through a symbolic link the lock is the one beside the file a save replaces, so that an edit
// through the link and one through the file itself exclude each other.
TEST_F(ConfigEditLockTest, EditsThroughALinkTakeTheLockOfTheLinkedFile) {
    create_config();
    TempDir other;
    const std::string link = other.file("link.toml");
    ASSERT_EQ(::symlink(path_.c_str(), link.c_str()), 0);
    {
        auto held = FileLock::acquire(path_ + ".lock", 0ms);
        ASSERT_TRUE(held.has_value()) << held.error().to_string();
        log::ScopedCapture capture;
        EXPECT_EQ(edit_network(link.c_str(), "http://lima.example/", NetworkEdit::Add, 100ms),
                  QUORVEL_AGENT_ERR_FAILURE);
        EXPECT_TRUE(capture->contains(
            log::Level::Warn,
            "Could not lock " + path_ + ".lock to edit " + link +
                ": timed out after 100 ms waiting for another holder to release it"));
    }
    EXPECT_EQ(quorvel_agent_config_network_add(link.c_str(), "http://lima.example/"),
              QUORVEL_AGENT_OK);
    EXPECT_EQ(listed(path_), (Networks{{"http://lima.example/", false}}));
    EXPECT_EQ(other.entries(), std::set<std::string>{"link.toml"});
    EXPECT_EQ(dir_.entries(), (std::set<std::string>{"agent.toml", "agent.toml.lock"}));
}

// Where the lock file cannot be created, an edit fails with -2 as its save would, and says why.
TEST_F(ConfigEditLockTest, LockFileThatCannotBeCreatedFailsTheEdit) {
    create_config();
    ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0555), 0);
    const std::string outcome = quorvel::testing::without_privileges([&] {
        log::ScopedCapture capture;
        const int32_t code =
            quorvel_agent_config_network_add(path_.c_str(), "http://mike.example/net.toml");
        std::string text = std::to_string(code);
        for (const auto& event : capture->events()) {
            if (event.level == log::Level::Warn) {
                text += " " + event.message;
            }
        }
        return text;
    });
    ::chmod(dir_.path().c_str(), 0700);
    EXPECT_EQ(outcome, "-2 Could not lock " + path_ + ".lock to edit " + path_ +
                           ": Permission denied (os error 13)");
    EXPECT_EQ(dir_.entries(), std::set<std::string>{"agent.toml"});
    EXPECT_TRUE(listed(path_).empty());
}

}  // namespace
}  // namespace quorvel::ffi
