#include "p2p/identity.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "p2p/crypto.h"

namespace quorvel::p2p {

std::string identity::Error::to_string() const {
    return "identity generation was cancelled";
}

std::string identity::Error::debug() const {
    return "Cancelled";
}

namespace {

unsigned leading_zero_bits(const crypto::Sha256& hash) {
    unsigned bits = 0;
    for (uint8_t byte : hash) {
        if (byte != 0) {
            return bits + static_cast<unsigned>(std::countl_zero(byte));
        }
        bits += 8;
    }
    return bits;
}

void put_pow(uint8_t* out, uint32_t pow) {
    out[0] = static_cast<uint8_t>(pow >> 24);
    out[1] = static_cast<uint8_t>(pow >> 16);
    out[2] = static_cast<uint8_t>(pow >> 8);
    out[3] = static_cast<uint8_t>(pow);
}

constexpr uint32_t kCancelCheckInterval = 4096;
constexpr uint8_t kParallelDifficulty = 16;

// Ends the search and joins the searchers that run; on destruction too.
struct StopAndJoin {
    std::atomic<bool>& done;
    std::vector<std::thread>& threads;

    void join() const noexcept {
        done.store(true, std::memory_order_relaxed);
        for (auto& thread : threads) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }
    ~StopAndJoin() { join(); }
};

}  // namespace

unsigned pow_difficulty(const PubKey& pk, Pow pow) {
    std::array<uint8_t, KEY_LEN + 4> input{};
    std::memcpy(input.data(), pk.as_bytes().data(), KEY_LEN);
    put_pow(input.data() + KEY_LEN, static_cast<uint32_t>(pow.value()));
    return leading_zero_bits(crypto::sha256(input));
}

Identity::Identity(SecKey sk, Pow pow) : sk_(sk), pk_(crypto::derive_public_key(sk)), pow_(pow) {}

Result<Identity, identity::Error> Identity::generate(uint8_t difficulty,
                                                     std::optional<CancellationToken> cancel) {
    // Each searcher draws its own keys; the first one to meet the difficulty ends the others.
    std::atomic<bool> done{false};
    std::mutex found_mutex;
    std::optional<Identity> found;
    auto search = [&] {
        std::array<uint8_t, KEY_LEN + 4> input{};
        while (!done.load(std::memory_order_relaxed)) {
            SecKey sk = SecKey::random();
            PubKey pk = crypto::derive_public_key(sk);
            std::memcpy(input.data(), pk.as_bytes().data(), KEY_LEN);
            // Every 32-bit value is tried for this key before a new key is drawn.
            uint32_t pow = 0;
            do {
                if (pow % kCancelCheckInterval == 0) {
                    if (done.load(std::memory_order_relaxed)) {
                        return;
                    }
                    if (cancel && cancel->is_cancelled()) {
                        done.store(true, std::memory_order_relaxed);
                        return;
                    }
                }
                put_pow(input.data() + KEY_LEN, pow);
                if (leading_zero_bits(crypto::sha256(input)) >= difficulty) {
                    std::lock_guard lock(found_mutex);
                    if (!found) {
                        found = Identity(sk, pk, Pow(static_cast<int32_t>(pow)));
                    }
                    done.store(true, std::memory_order_relaxed);
                    return;
                }
                ++pow;
            } while (pow != 0);
        }
    };
    // Low difficulties finish in milliseconds; only long searches are worth more threads.
    unsigned helpers = difficulty >= kParallelDifficulty
                           ? std::min(std::max(std::thread::hardware_concurrency(), 1u), 4u) - 1
                           : 0;
    std::vector<std::thread> threads;
    // However this function is left (a helper that cannot be started, memory running out), the
    // helpers started so far are stopped and joined first: a thread still joinable when it is
    // destroyed ends the process.
    const StopAndJoin stop_and_join{done, threads};
    threads.reserve(helpers);
    for (unsigned i = 0; i < helpers; ++i) {
        threads.emplace_back(search);
    }
    search();
    stop_and_join.join();
    if (!found) {
        return unexpected(identity::Error(identity::Error::Kind::Cancelled));
    }
    return *found;
}

}  // namespace quorvel::p2p
