// Cost of loading the current version of a shared table once per packet, as the firewall does,
// with one reader and with several readers on one slot; the standard library's atomic shared
// pointer is measured beside our slot for comparison.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <vector>

#include "util/snapshot_slot.h"

namespace quorvel {
namespace {

struct Table {
    std::vector<int> values = std::vector<int>(16, 1);
};

SnapshotSlot<Table>& shared_slot() {
    static SnapshotSlot<Table> slot(std::make_shared<const Table>());
    return slot;
}

std::atomic<std::shared_ptr<const Table>>& shared_atomic() {
    static std::atomic<std::shared_ptr<const Table>> slot(std::make_shared<const Table>());
    return slot;
}

void BM_SnapshotSlotLoad(benchmark::State& state) {
    auto& slot = shared_slot();
    for (auto _ : state) {
        auto table = slot.load();
        benchmark::DoNotOptimize(table->values[0]);
    }
}
BENCHMARK(BM_SnapshotSlotLoad)->Threads(1)->Threads(4);

void BM_AtomicSharedPtrLoad(benchmark::State& state) {
    auto& slot = shared_atomic();
    for (auto _ : state) {
        auto table = slot.load();
        benchmark::DoNotOptimize(table->values[0]);
    }
}
BENCHMARK(BM_AtomicSharedPtrLoad)->Threads(1)->Threads(4);

}  // namespace
}  // namespace quorvel
