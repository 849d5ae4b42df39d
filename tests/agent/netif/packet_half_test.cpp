#include "agent/netif/packet_half.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <deque>
#include <future>
#include <thread>

#include "agent/netif/async_device.h"
#include "agent/netif/device_pair.h"
#include "agent/netif/pass_fixture.h"
#include "agent/netif/tun_device.h"
#include "util/driver_task.h"
#include "util/log.h"

namespace quorvel::agent::packet_half {
namespace {

constexpr std::string_view kTarget = "test::half";

// A pass whose outcomes the test scripts; an empty script means "ended waiting".
struct ScriptedState {
    Result<bool, IoError> drive_transmit(const Waker& waker) {
        ++passes;
        if (on_pass) {
            on_pass(waker);
        }
        if (script.empty()) {
            return false;
        }
        auto next = std::move(script.front());
        script.pop_front();
        return next;
    }

    std::uint64_t ref_count = 0;
    int passes = 0;
    std::deque<Result<bool, IoError>> script;
    std::function<void(const Waker&)> on_pass;
};

// The node-peer shape: the driver parks its waker in the state.
struct ParkingState : ScriptedState {
    Waker driver_waker;
};

template <class State>
struct Inner {
    std::mutex mutex;
    State state;
};

using PeerInner = Inner<ParkingState>;
using DeviceInner = Inner<ScriptedState>;

constexpr DriverTexts kTexts{kTarget, "Driver poll", "Driver keep_going = ", "Driver ready",
                             "Driver pending"};

template <class I>
struct Driver {
    CountedRef<I> ref;
    Poll<Result<void, IoError>> poll(const Waker& waker) {
        return poll_driver(ref.inner(), waker, kTexts);
    }
};

template <class I>
std::uint64_t count_of(const std::shared_ptr<I>& inner) {
    std::lock_guard lock(inner->mutex);
    return inner->state.ref_count;
}
template <class I>
int passes_of(const std::shared_ptr<I>& inner) {
    std::lock_guard lock(inner->mutex);
    return inner->state.passes;
}

// Runs whatever is ready; an io_context that ran out of work must be restarted first.
void drain(boost::asio::io_context& io) {
    io.restart();
    io.poll();
}

struct Counter {
    std::shared_ptr<std::atomic<int>> n = std::make_shared<std::atomic<int>>(0);
    Waker waker{[n = n] { ++*n; }};
};

TEST(CountedRef, CountsCopiesAndNeverGoesBelowZero) {
    auto inner = std::make_shared<PeerInner>();
    std::optional<CountedRef<PeerInner>> first(inner);
    EXPECT_EQ(count_of(inner), 0u);
    std::vector<CountedRef<PeerInner>> copies(3, *first);
    EXPECT_EQ(count_of(inner), 3u);
    CountedRef<PeerInner> moved(std::move(copies.back()));
    copies.pop_back();  // a moved-from handle counts nothing
    EXPECT_EQ(count_of(inner), 3u);
    copies.clear();
    EXPECT_EQ(count_of(inner), 1u);
    first.reset();
    EXPECT_EQ(count_of(inner), 0u);

    Counter parked;
    inner->state.driver_waker = parked.waker;
    {
        CountedRef<PeerInner> extra(inner);  // a second "first" handle: dropping it at 0
    }
    EXPECT_EQ(count_of(inner), 0u);
    EXPECT_EQ(*parked.n, 0);  // a drop at 0 wakes nothing
}

TEST(CountedRef, LastReleaseWakesTheParkedDriverOnlyForTheParkingShape) {
    Counter parked;
    auto peer = std::make_shared<PeerInner>();
    {
        CountedRef<PeerInner> first(peer);
        CountedRef<PeerInner> second(first);
        CountedRef<PeerInner> third(first);
        peer->state.driver_waker = parked.waker;
    }
    // The third release brought 2 to 1, the second 1 to 0 and woke; the first found 0.
    EXPECT_EQ(*parked.n, 1);
    EXPECT_FALSE(static_cast<bool>(peer->state.driver_waker));  // consumed

    auto device = std::make_shared<DeviceInner>();
    {
        CountedRef<DeviceInner> first(device);
        CountedRef<DeviceInner> second(first);
    }
    EXPECT_EQ(count_of(device), 0u);
}

TEST(PollDriver, ParksTheWakerOnEveryWaitingPollAndKeepsItOnKeepGoing) {
    log::ScopedCapture capture;
    auto inner = std::make_shared<PeerInner>();
    CountedRef<PeerInner> outside(inner);
    Driver<PeerInner> driver{outside};
    Counter a, b, c;

    EXPECT_FALSE(driver.poll(a.waker).has_value());
    EXPECT_TRUE(inner->state.driver_waker.will_wake(a.waker));
    EXPECT_FALSE(driver.poll(b.waker).has_value());
    EXPECT_TRUE(inner->state.driver_waker.will_wake(b.waker));  // replaced without comparing
    inner->state.script.push_back(true);
    EXPECT_FALSE(driver.poll(c.waker).has_value());
    EXPECT_TRUE(inner->state.driver_waker.will_wake(b.waker));  // keep_going leaves it
    EXPECT_EQ(*c.n, 1);                                         // and wakes the task at once
    EXPECT_EQ(*a.n + *b.n, 0);

    EXPECT_EQ(capture->count(log::Level::Trace, "Driver keep_going = false"), 2u);
    EXPECT_EQ(capture->count(log::Level::Trace, "Driver keep_going = true"), 1u);
    EXPECT_EQ(capture->count(log::Level::Trace, "Driver pending"), 3u);
}

TEST(PollDriver, PassComesBeforeTheCountTest) {
    auto inner = std::make_shared<DeviceInner>();
    Driver<DeviceInner> driver{CountedRef<DeviceInner>(inner)};  // the only handle: count 0
    Counter w;
    inner->state.script.push_back(true);
    auto out = driver.poll(w.waker);
    ASSERT_TRUE(out.has_value());
    EXPECT_TRUE(out->has_value());
    EXPECT_EQ(inner->state.passes, 1);
    EXPECT_EQ(*w.n, 0);  // ready: no self-wake even with keep_going
}

TEST(PollDriver, PassErrorEndsTheDriverWithoutTheCountTest) {
    auto inner = std::make_shared<PeerInner>();
    CountedRef<PeerInner> outside(inner);
    Driver<PeerInner> driver{outside};
    Counter w;
    inner->state.script.push_back(unexpected(IoError::from_errno(EIO)));
    auto out = driver.poll(w.waker);
    ASSERT_TRUE(out.has_value());
    ASSERT_FALSE(out->has_value());
    EXPECT_EQ(out->error().to_string(), "Input/output error (os error 5)");
    EXPECT_FALSE(static_cast<bool>(inner->state.driver_waker));
}

// Spawns a driver of `inner` as a task; the outcome lands in `*outcome` with the number of handles
// of the inner object that were still alive at that moment.
template <class I>
std::shared_ptr<DriverTaskBase> spawn(boost::asio::io_context& io, const CountedRef<I>& first,
                                      std::shared_ptr<std::optional<Result<void, IoError>>> outcome,
                                      std::shared_ptr<long> owners_at_end = nullptr) {
    std::weak_ptr<I> weak = first.shared();
    return spawn_driver(io.get_executor(), Driver<I>{first},
                        [outcome, owners_at_end, weak](Result<void, IoError> r) {
                            if (owners_at_end) {
                                *owners_at_end = weak.use_count();
                            }
                            log_driver_end(kTarget, r);
                            *outcome = std::move(r);
                        });
}

TEST(NodePeerDriverTask, RunsOneMorePassAndEndsExactlyWhenTheLastOutsideHandleGoes) {
    log::ScopedCapture capture;
    boost::asio::io_context io;
    auto inner = std::make_shared<PeerInner>();
    auto outcome = std::make_shared<std::optional<Result<void, IoError>>>();
    std::optional<CountedRef<PeerInner>> first(inner);
    auto task = spawn(io, *first, outcome);
    EXPECT_EQ(count_of(inner), 1u);  // the driver's copy

    std::optional<CountedRef<PeerInner>> second(*first);
    drain(io);
    EXPECT_EQ(passes_of(inner), 1);
    EXPECT_FALSE(task->finished());

    first.reset();
    drain(io);
    EXPECT_EQ(passes_of(inner), 1);  // not the last outside handle: nothing runs
    EXPECT_FALSE(task->finished());

    second.reset();
    EXPECT_EQ(count_of(inner), 0u);
    drain(io);
    EXPECT_EQ(passes_of(inner), 2);  // exactly one more pass
    EXPECT_TRUE(task->finished());
    ASSERT_TRUE(outcome->has_value());
    EXPECT_TRUE((*outcome)->has_value());
    EXPECT_EQ(capture->count(log::Level::Trace, "Driver ready"), 1u);
    EXPECT_EQ(capture->count(log::Level::Error, "I/O error: Input/output error (os error 5)"), 0u);
}

TEST(NodePeerDriverTask, PassErrorIsLoggedOnceAfterTheDriverReleasedItsHandle) {
    log::ScopedCapture capture;
    boost::asio::io_context io;
    auto inner = std::make_shared<PeerInner>();
    inner->state.script.push_back(unexpected(IoError::from_errno(EIO)));
    auto outcome = std::make_shared<std::optional<Result<void, IoError>>>();
    auto owners = std::make_shared<long>(-1);
    CountedRef<PeerInner> first(inner);
    auto task = spawn(io, first, outcome, owners);
    drain(io);
    EXPECT_TRUE(task->finished());
    EXPECT_EQ(*owners, 2);  // `inner` here and `first`: the driver's handle was already gone
    EXPECT_EQ(count_of(inner), 0u);
    EXPECT_EQ(capture->count(log::Level::Error, "I/O error: Input/output error (os error 5)"), 1u);
}

TEST(TunDeviceDriverTask, ReleasingTheHandleWakesNothingAndTheNextReadinessEndsIt) {
    log::ScopedCapture capture;
    boost::asio::io_context io;
    auto pair = testing::make_device_pair(io.get_executor());
    ASSERT_TRUE(pair->device);
    auto device = std::make_optional(pair->device);

    auto inner = std::make_shared<DeviceInner>();
    // Each pass tries to read the tunnel, as the outbound pass does, and ends waiting.
    inner->state.on_pass = [dev = *device](const Waker& waker) {
        std::uint8_t buffer[64];
        while (true) {
            auto r = dev->poll_recv(waker, buffer);
            if (!r) {
                break;
            }
        }
    };
    auto outcome = std::make_shared<std::optional<Result<void, IoError>>>();
    std::optional<CountedRef<DeviceInner>> handle(inner);
    auto task = spawn(io, *handle, outcome);
    drain(io);
    EXPECT_EQ(passes_of(inner), 1);

    handle.reset();
    EXPECT_EQ(count_of(inner), 0u);
    drain(io);
    EXPECT_EQ(passes_of(inner), 1);  // no wake
    EXPECT_FALSE(task->finished());

    ASSERT_EQ(::send(pair->host, "x", 1, 0), 1);
    io.run_one();  // the readiness wait completes
    drain(io);
    EXPECT_EQ(passes_of(inner), 2);
    EXPECT_TRUE(task->finished());
    EXPECT_EQ(capture->count(log::Level::Trace, "Driver ready"), 1u);
}

TEST(DriverTask, KeepGoingRunsAgainAtOnceThroughTheExecutor) {
    boost::asio::io_context io;
    auto inner = std::make_shared<PeerInner>();
    inner->state.script = {true, true, false};
    auto outcome = std::make_shared<std::optional<Result<void, IoError>>>();
    CountedRef<PeerInner> first(inner);
    auto task = spawn(io, first, outcome);
    EXPECT_EQ(io.run_one(), 1u);
    EXPECT_EQ(passes_of(inner), 1);  // one pass per run: the task yields between passes
    drain(io);
    EXPECT_EQ(passes_of(inner), 3);
    EXPECT_FALSE(task->finished());
}

TEST(DriverTask, ReentersTheSpansCurrentWhenItWasSpawned) {
    log::ScopedCapture capture;
    boost::asio::io_context io;
    auto inner = std::make_shared<PeerInner>();
    auto outcome = std::make_shared<std::optional<Result<void, IoError>>>();
    CountedRef<PeerInner> first(inner);
    std::shared_ptr<DriverTaskBase> task;
    {
        log::SpanGuard span(log::Level::Info, "housekeeping", {{"pass", "7"}});
        task = spawn(io, first, outcome);
    }
    drain(io);
    bool seen = false;
    for (const auto& event : capture->events()) {
        if (event.message == "Driver poll") {
            ASSERT_EQ(event.spans.size(), 1u);
            EXPECT_EQ(event.spans[0].name, "housekeeping");
            seen = true;
        }
    }
    EXPECT_TRUE(seen);
    EXPECT_TRUE(log::current_spans().empty());
}

TEST(DriverTask, WakesFromManyThreadsNeverOverlapPolls) {
    boost::asio::thread_pool pool(4);
    auto inner = std::make_shared<PeerInner>();
    auto in_poll = std::make_shared<std::atomic<int>>(0);
    auto overlaps = std::make_shared<std::atomic<int>>(0);
    auto last_waker = std::make_shared<std::atomic<bool>>(false);
    auto promise = std::make_shared<std::promise<Waker>>();
    auto future = promise->get_future();
    inner->state.on_pass = [=](const Waker& waker) {
        if (in_poll->fetch_add(1) != 0) {
            ++*overlaps;
        }
        if (!last_waker->exchange(true)) {
            promise->set_value(waker);
        }
        std::this_thread::yield();
        in_poll->fetch_sub(1);
    };
    auto outcome = std::make_shared<std::optional<Result<void, IoError>>>();
    std::optional<CountedRef<PeerInner>> first(inner);
    spawn_driver(pool.get_executor(), Driver<PeerInner>{*first},
                 [outcome](Result<void, IoError> r) { *outcome = std::move(r); });
    const Waker waker = future.get();
    std::vector<std::thread> wakers;
    for (int t = 0; t < 4; ++t) {
        wakers.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                waker.wake();
            }
        });
    }
    for (auto& t : wakers) {
        t.join();
    }
    first.reset();
    pool.join();
    EXPECT_EQ(*overlaps, 0);
    EXPECT_GE(passes_of(inner), 2);
    ASSERT_TRUE(outcome->has_value());
}

// A pass that lets go of an outside handle of its own half: that release takes the lock the pass
// holds, so it is held until the poll has unlocked. The count test of that poll still saw the
// handle; the parking shape's driver is woken by the held release, and the next poll ends it.
template <class I>
void release_own_handle_in_pass(int expected_wakes) {
    auto inner = std::make_shared<I>();
    Driver<I> driver{CountedRef<I>(inner)};
    std::optional<CountedRef<I>> outside(driver.ref);
    inner->state.on_pass = [&](const Waker&) { outside.reset(); };
    Counter waker;
    Poll<Result<void, IoError>> first;
    testing::within_deadline("a pass releasing a handle of its own half",
                             [&] { first = driver.poll(waker.waker); });
    EXPECT_FALSE(first.has_value());
    EXPECT_EQ(count_of(inner), 0u);
    EXPECT_EQ(*waker.n, expected_wakes);
    auto second = driver.poll(waker.waker);
    ASSERT_TRUE(second.has_value());
    EXPECT_TRUE(second->has_value());
}

TEST(PollDriver, HandlesThePassReleasesGoAfterUnlocking) {
    release_own_handle_in_pass<PeerInner>(1);
    release_own_handle_in_pass<DeviceInner>(0);
}

// A held release whose letting go holds releases itself (here the woken driver's waker runs
// inline and releases more handles under a holding of its own): each handle is let go exactly
// once, the inner holding's at its own end, the outer ones after it.
TEST(HoldReleases, AReleaseThatHoldsReleasesItselfLetsEachHandleGoOnce) {
    auto woken = std::make_shared<PeerInner>();
    auto inner_b = std::make_shared<PeerInner>();
    auto inner_c = std::make_shared<PeerInner>();
    auto later = std::make_shared<PeerInner>();
    std::optional<CountedRef<PeerInner>> first_b(inner_b), first_c(inner_c), first_later(later);
    std::optional<CountedRef<PeerInner>> b(*first_b), c(*first_c), d(*first_later);
    ASSERT_EQ(count_of(inner_b), 1u);
    bool nested_ran = false;
    woken->state.driver_waker = Waker([&] {
        HoldReleases nested;
        b.reset();
        c.reset();
        // Held, not yet let go.
        EXPECT_EQ(count_of(inner_b), 1u);
        EXPECT_EQ(count_of(inner_c), 1u);
        nested_ran = true;
    });
    {
        CountedRef<PeerInner> first_woken(woken);
        std::optional<CountedRef<PeerInner>> a(first_woken);
        HoldReleases outer;
        a.reset();
        d.reset();
        EXPECT_EQ(count_of(woken), 1u);
        EXPECT_EQ(count_of(later), 1u);
        EXPECT_FALSE(nested_ran);
        // `outer` ends first: the release of `a` wakes and so holds, then `d` goes.
    }
    EXPECT_TRUE(nested_ran);
    EXPECT_EQ(count_of(woken), 0u);
    EXPECT_EQ(count_of(inner_b), 0u);
    EXPECT_EQ(count_of(inner_c), 0u);
    EXPECT_EQ(count_of(later), 0u);
    EXPECT_FALSE(HoldReleases::active());
    EXPECT_TRUE(detail::held_releases.held.empty());
}

// The real tunnel-device handle counts like any other and its release wakes nothing.
TEST(TunDeviceRef, CountsCopiesOfTheFirstHandle) {
    boost::asio::io_context io;
    auto pair = testing::make_device_pair(io.get_executor());
    ASSERT_TRUE(pair->device);
    auto device = std::make_optional(pair->device);
    auto first = TunDeviceRef::create(
        *device,
        tun_device::State(*device, std::make_unique<tun_device::TunDevicePollHelper>(*device, 1280),
                          nullptr, nullptr, nullptr));
    auto count = [&] {
        std::lock_guard lock(first.inner().mutex);
        return first.inner().state.ref_count;
    };
    EXPECT_EQ(count(), 0u);
    {
        TunDeviceRef a(first);
        TunDeviceRef b(a);
        EXPECT_EQ(count(), 2u);
    }
    EXPECT_EQ(count(), 0u);
}

}  // namespace
}  // namespace quorvel::agent::packet_half

namespace quorvel::agent {
namespace {

TEST(TunDeviceCreate, SpawnsTheDriverWithOneCopyAndItsReleaseWakesNothing) {
    log::ScopedCapture capture;
    boost::asio::io_context io;
    auto pair = testing::make_device_pair(io.get_executor());
    ASSERT_TRUE(pair->device);
    auto device = std::make_optional(pair->device);
    auto tun = TunDevice::create(io.get_executor(), *device, nullptr, nullptr, 1280);
    {
        std::lock_guard lock(tun->handle().inner().mutex);
        EXPECT_EQ(tun->handle().inner().state.ref_count, 1u);
    }
    EXPECT_EQ(tun->device(), *device);
    io.poll();
    const auto polls = [&] {
        return capture->count(log::Level::Trace, "TunDeviceDriver poll called");
    };
    EXPECT_EQ(polls(), 1u);
    EXPECT_EQ(capture->count(log::Level::Trace, "TunDeviceDriver pending"), 1u);

    tun.reset();
    io.restart();
    io.poll();
    EXPECT_EQ(polls(), 1u);
    EXPECT_EQ(capture->count(log::Level::Trace, "TunDeviceDriver ready"), 0u);
}

}  // namespace
}  // namespace quorvel::agent

namespace quorvel::agent::packet_half {
namespace {

// A driver that never ends; `keep` decides whether its pending poll keeps a copy of its waker,
// which then lives in the driver's own slot (so the task and the slot keep each other).
struct IdleDriver {
    struct Shared {
        std::mutex mutex;
        Waker kept;
        int polls = 0;
        bool released = false;
    };
    std::shared_ptr<Shared> shared;
    bool keep = true;

    IdleDriver(std::shared_ptr<Shared> s, bool k) : shared(std::move(s)), keep(k) {}
    IdleDriver(IdleDriver&& other) noexcept = default;
    ~IdleDriver() {
        if (shared) {
            shared->released = true;
        }
    }
    Poll<int> poll(const Waker& waker) {
        std::lock_guard lock(shared->mutex);
        ++shared->polls;
        if (keep) {
            shared->kept = waker;
        }
        return std::nullopt;
    }
};

constexpr std::string_view kOrphaned =
    "Driver returned pending without keeping its waker; its task ends unfinished";

TEST(DriverTask, PendingPollThatKeptNoWakerIsReportedInDebugBuilds) {
    if (!kCheckWakers) {
        GTEST_SKIP() << "the check is built into debug builds only";
    }
    log::ScopedCapture capture;
    boost::asio::io_context io;
    auto kept = std::make_shared<IdleDriver::Shared>();
    (void)spawn_driver(io.get_executor(), IdleDriver(kept, true), [](int) {});
    drain(io);
    EXPECT_EQ(kept->polls, 1);
    EXPECT_FALSE(capture->contains(log::Level::Error, kOrphaned));

    auto lost = std::make_shared<IdleDriver::Shared>();
    (void)spawn_driver(io.get_executor(), IdleDriver(lost, false), [](int) {});
    drain(io);
    EXPECT_EQ(lost->polls, 1);
    EXPECT_TRUE(capture->contains(log::Level::Error, kOrphaned));
    EXPECT_TRUE(lost->released);  // nothing kept the task

    // Break the circle of the driver that kept its waker in its own slot.
    std::lock_guard lock(kept->mutex);
    kept->kept = Waker();
}

// A task whose waker sits in a slot of its own driver is kept by nobody else. When its posted
// run is dropped with the runtime instead of run, the driver is released, which ends the circle.
TEST(DriverTask, RuntimeGoingAwayReleasesTheDriverOfAQueuedRun) {
    auto shared = std::make_shared<IdleDriver::Shared>();
    {
        boost::asio::io_context io;
        (void)spawn_driver(io.get_executor(), IdleDriver(shared, true), [](int) {});
        drain(io);
        EXPECT_EQ(shared->polls, 1);
        Waker waker;
        {
            std::lock_guard lock(shared->mutex);
            waker = shared->kept;
        }
        waker.wake();  // queues a run that never happens
        EXPECT_FALSE(shared->released);
    }
    EXPECT_TRUE(shared->released);
    std::lock_guard lock(shared->mutex);
    shared->kept = Waker();
}

}  // namespace
}  // namespace quorvel::agent::packet_half
