#include "p2p/testing.h"

#include <algorithm>
#include <map>

#include "node_internal.h"

namespace quorvel::p2p::testing {

void TestHooks::capture_sends(bool deliver) {
    std::lock_guard lock(mutex_);
    capture_ = true;
    deliver_ = deliver;
    update_active();
}

std::vector<SentDatagram> TestHooks::sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

void TestHooks::clear_sent() {
    std::lock_guard lock(mutex_);
    sent_.clear();
}

void TestHooks::pend_sends() {
    std::lock_guard lock(mutex_);
    mode_ = SendMode::Pend;
    update_active();
}

void TestHooks::fail_sends(SendDatagramError error) {
    std::lock_guard lock(mutex_);
    mode_ = SendMode::Fail;
    fail_error_ = std::move(error);
    update_active();
}

void TestHooks::release_sends() {
    std::vector<Waker> held;
    {
        std::lock_guard lock(mutex_);
        mode_ = SendMode::Normal;
        fail_error_.reset();
        held.swap(held_);
        update_active();
    }
    for (const auto& w : held) {
        w.wake();
    }
}

void TestHooks::refuse_initiate(const PubKey& pk) {
    std::lock_guard lock(mutex_);
    refused_.insert(pk);
}

void TestHooks::allow_initiate(const PubKey& pk) {
    std::lock_guard lock(mutex_);
    refused_.erase(pk);
}

bool TestHooks::initiate_refused(const PubKey& pk) const {
    std::lock_guard lock(mutex_);
    return refused_.contains(pk);
}

bool TestHooks::inject(const PubKey& from, std::span<const uint8_t> datagram) {
    std::function<bool(const PubKey&, std::span<const uint8_t>)> injector;
    {
        std::lock_guard lock(mutex_);
        injector = injector_;
    }
    return injector && injector(from, datagram);
}

void TestHooks::set_injector(
    std::function<bool(const PubKey&, std::span<const uint8_t>)> injector) {
    std::lock_guard lock(mutex_);
    injector_ = std::move(injector);
}

void TestHooks::pin_node_peer_stats(const PubKey& pk, NodePeerStats stats) {
    std::lock_guard lock(mutex_);
    pinned_node_peers_.insert_or_assign(pk, std::move(stats));
}

void TestHooks::pin_super_peer_stats(const PubKey& pk, SuperPeerStats stats) {
    std::lock_guard lock(mutex_);
    pinned_super_peers_.insert_or_assign(pk, std::move(stats));
}

void TestHooks::unpin_stats() {
    std::lock_guard lock(mutex_);
    pinned_node_peers_.clear();
    pinned_super_peers_.clear();
}

std::optional<NodePeerStats> TestHooks::pinned_node_peer_stats(const PubKey& pk) const {
    std::lock_guard lock(mutex_);
    auto it = pinned_node_peers_.find(pk);
    return it == pinned_node_peers_.end() ? std::nullopt : std::optional(it->second);
}

std::optional<SuperPeerStats> TestHooks::pinned_super_peer_stats(const PubKey& pk) const {
    std::lock_guard lock(mutex_);
    auto it = pinned_super_peers_.find(pk);
    return it == pinned_super_peers_.end() ? std::nullopt : std::optional(it->second);
}

TestHooks::SendDecision TestHooks::on_send(const PubKey& to, std::span<const uint8_t> payload,
                                           const Waker* waker) {
    std::lock_guard lock(mutex_);
    SendDecision decision;
    decision.mode = mode_;
    if (mode_ == SendMode::Fail) {
        decision.error = fail_error_;
        return decision;
    }
    if (mode_ == SendMode::Pend) {
        if (waker != nullptr && std::none_of(held_.begin(), held_.end(),
                                             [&](const Waker& w) { return w.will_wake(*waker); })) {
            held_.push_back(*waker);
        }
        return decision;
    }
    if (capture_) {
        sent_.push_back(SentDatagram{to, std::vector<uint8_t>(payload.begin(), payload.end())});
        decision.deliver = deliver_;
    }
    return decision;
}

void TestHooks::update_active() {
    active_.store(capture_ || mode_ != SendMode::Normal, std::memory_order_relaxed);
}

namespace {

struct Registry {
    std::mutex mutex;
    std::map<PubKey, std::shared_ptr<TestHooks>> hooks;
};

Registry& registry() {
    // Never destroyed, like the node directory: running nodes consult it until the process ends.
    static Registry& r = *new Registry;
    return r;
}

}  // namespace

std::shared_ptr<TestHooks> hooks_for(const PubKey& node_pk) {
    auto core = detail::Directory::instance().find(node_pk);
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (core) {
        r.hooks[node_pk] = core->transport->hooks;
        return core->transport->hooks;
    }
    auto& slot = r.hooks[node_pk];
    if (!slot) {
        slot = std::make_shared<TestHooks>();
    }
    return slot;
}

void forget_hooks(const PubKey& node_pk) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.hooks.erase(node_pk);
}

// The controls a binding node takes over: those asked for in advance, or new ones.
std::shared_ptr<TestHooks> hooks_for_binding(const PubKey& node_pk) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.hooks.find(node_pk);
    if (it != r.hooks.end()) {
        return it->second;
    }
    return std::make_shared<TestHooks>();
}

}  // namespace quorvel::p2p::testing
