// Throughput of the P2P stand-in's datagram path: one node sends batches of packet-sized
// datagrams to another in the same process, whose reader parks on its waker between reads.
#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "p2p/node.h"

namespace {

using namespace quorvel;
using namespace quorvel::p2p;
namespace asio = boost::asio;

struct Parker {
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;
    void wake() {
        std::lock_guard lock(mutex);
        woken = true;
        cv.notify_one();
    }
    void park() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return woken; });
        woken = false;
    }
};

void BM_SendAndReceiveBatch(benchmark::State& state) {
    const size_t batch = static_cast<size_t>(state.range(0));
    asio::io_context io;
    auto guard = asio::make_work_guard(io);
    std::thread runner([&] { io.run(); });
    auto bind = [&](const Identity& id) {
        auto opts = NodeOptsBuilder().id(id).udp_port(0).min_pow_difficulty(0).build();
        return asio::co_spawn(io, Node::bind(io.get_executor(), *opts), asio::use_future)
            .get()
            .value();
    };
    Identity a_id(SecKey::random(), Pow(0));
    Identity b_id(SecKey::random(), Pow(0));
    {
        NodeRef a = bind(a_id);
        NodeRef b = bind(b_id);
        NodePeer to_b = a->initiate(b_id.pk()).value();
        NodePeer from_a = b->initiate(a_id.pk()).value();
        Bytes packet(std::vector<uint8_t>(1280, 0x45));
        auto parker = std::make_shared<Parker>();
        Waker waker([parker] { parker->wake(); });
        std::vector<DatagramBuffer> bufs(batch);
        for (auto _ : state) {
            auto send = to_b.send_datagrams_wait(std::vector<Bytes>(batch, packet));
            while (!send.poll(waker)) {
                parker->park();
            }
            size_t got = 0;
            while (got < batch) {
                auto n = from_a.poll_read_datagrams(waker, bufs);
                if (n) {
                    got += *n;
                } else {
                    parker->park();
                }
            }
        }
        state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * batch));
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * batch * 1280));
    }
    guard.reset();
    runner.join();
}
BENCHMARK(BM_SendAndReceiveBatch)->Arg(1)->Arg(32)->UseRealTime();

}  // namespace
