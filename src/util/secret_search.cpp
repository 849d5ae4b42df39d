#include "util/secret_search.h"

#include <algorithm>
#include <cstring>

namespace quorvel::secrets {

namespace {

uint32_t key_at(const char* at) {
    uint32_t key;
    std::memcpy(&key, at, sizeof key);
    return key;
}

unsigned bits_for(size_t count) {
    unsigned bits = 0;
    while ((size_t{1} << bits) < count) {
        ++bits;
    }
    return bits;
}

}  // namespace

PatternIndex::PatternIndex(const std::vector<std::string_view>& patterns) {
    std::vector<std::string_view> texts;
    texts.reserve(patterns.size());
    for (const std::string_view p : patterns) {
        if (p.size() >= kShortestPattern) {
            texts.push_back(p);
        }
    }
    if (texts.empty()) {
        return;
    }
    std::sort(texts.begin(), texts.end());
    texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
    shortest_ = SIZE_MAX;
    for (const std::string_view text : texts) {
        shortest_ = std::min(shortest_, text.size());
        longest_ = std::max(longest_, text.size());
    }

    // The filter. Every occurrence of a text of `length` bytes holds a multiple of `step` within
    // its first `step` bytes, at which its four bytes stand wholly inside it: each text is filed
    // under the keys at its first `step` offsets, so that an occurrence a probe finds starts at
    // most `step - 1` bytes before the probe.
    step_ = std::min<size_t>(8, shortest_ - kShortestPattern + 1);
    // Sized for every key filed, distinct or not: counting the distinct ones would cost more than
    // the build of the rest.
    const unsigned filter_bits = std::max(12U, bits_for(texts.size() * step_ * 16));
    filter_shift_ = 64 - filter_bits;
    filter_.assign((size_t{1} << filter_bits) / 64, 0);
    for (const std::string_view text : texts) {
        for (size_t o = 0; o < step_; ++o) {
            const uint32_t key = key_at(text.data() + o);
            for (const uint64_t hash : kFilterHashes) {
                const size_t bit = (key * hash) >> filter_shift_;
                filter_[bit / 64] |= uint64_t{1} << (bit % 64);
            }
        }
    }

    // The trie, numbered in the order of a depth-first walk: with the texts sorted, the states a
    // text adds past what it shares with the one before come next in that order, and the first
    // child of a state is the state after it.
    size_t most_states = 1;
    for (const std::string_view text : texts) {
        most_states += text.size();
    }
    std::vector<uint32_t> parent{0};
    std::vector<uint32_t> depth{0};
    std::vector<uint32_t> ends{0};  // the length of the text that ends at a state, or 0
    std::vector<std::pair<uint64_t, uint32_t>> more;
    for (auto* v : {&parent, &depth, &ends}) {
        v->reserve(most_states);
    }
    root_.assign(256, 0);
    label_.assign(1, 0);
    flags_.assign(1, 0);
    depth_.assign(1, 0);
    label_.reserve(most_states);
    flags_.reserve(most_states);
    depth_.reserve(most_states);
    std::vector<uint32_t> path{0};
    std::string_view previous;
    for (const std::string_view text : texts) {
        const auto shared = static_cast<size_t>(
            std::mismatch(previous.begin(), previous.end(), text.begin(), text.end()).first -
            previous.begin());
        path.resize(shared + 1);
        for (size_t d = shared; d < text.size(); ++d) {
            const auto state = static_cast<uint32_t>(label_.size());
            const uint32_t from = path[d];
            const auto c = static_cast<unsigned char>(text[d]);
            if (from == 0) {
                root_[c] = state;
            } else if ((flags_[from] & kFirstChild) == 0) {
                flags_[from] |= kFirstChild;  // `state` is `from + 1`: see above
            } else {
                flags_[from] |= kMoreChildren;
                more.emplace_back((uint64_t{from} << 8 | c) + 1, state);
            }
            label_.push_back(static_cast<uint8_t>(c));
            flags_.push_back(0);
            depth_.push_back(static_cast<uint16_t>(std::min<size_t>(d + 1, UINT16_MAX)));
            parent.push_back(from);
            depth.push_back(static_cast<uint32_t>(d + 1));
            ends.push_back(0);
            path.push_back(state);
        }
        ends[path[text.size()]] = static_cast<uint32_t>(text.size());
        previous = text;
    }
    const unsigned more_bits = std::max(4U, bits_for(more.size() * 2));
    more_shift_ = 64 - more_bits;
    more_keys_.assign(size_t{1} << more_bits, 0);
    more_children_.assign(size_t{1} << more_bits, 0);
    for (const auto& [key, state] : more) {
        size_t at = (key * kMoreHash) >> more_shift_;
        while (more_keys_[at] != 0) {
            at = (at + 1) & (more_keys_.size() - 1);
        }
        more_keys_[at] = key;
        more_children_[at] = state;
    }

    // Failure links, shallow states first: the longest proper suffix of a state's text that is a
    // state too; and the longest text that ends at a state, its own or one of such a suffix.
    const size_t states = label_.size();
    std::vector<uint32_t> by_depth(states);
    {
        std::vector<uint32_t> first(longest_ + 2, 0);
        for (size_t s = 0; s < states; ++s) {
            ++first[depth[s] + 1];
        }
        for (size_t d = 1; d < first.size(); ++d) {
            first[d] += first[d - 1];
        }
        for (uint32_t s = 0; s < states; ++s) {
            by_depth[first[depth[s]]++] = s;
        }
    }
    fail_.assign(states, 0);
    std::vector<uint32_t> output(states, 0);
    for (const uint32_t s : by_depth) {
        if (depth[s] >= 2) {
            const auto c = label_[s];
            uint32_t f = fail_[parent[s]];
            uint32_t to;
            while ((to = child(f, c)) == 0 && f != 0) {
                f = fail_[f];
            }
            fail_[s] = to;
        }
        output[s] = ends[s] != 0 ? ends[s] : output[fail_[s]];
        if (output[s] != 0) {
            flags_[s] |= kOutput;
            outputs_.emplace_back(s, output[s]);
        }
    }
    std::sort(outputs_.begin(), outputs_.end());
    label_.shrink_to_fit();
    flags_.shrink_to_fit();
    depth_.shrink_to_fit();
    outputs_.shrink_to_fit();
}

uint32_t PatternIndex::child(uint32_t state, unsigned char c) const {
    if (state == 0) {
        return root_[c];
    }
    const uint8_t flags = flags_[state];
    if ((flags & kFirstChild) != 0 && label_[state + 1] == c) {
        return state + 1;
    }
    if ((flags & kMoreChildren) == 0) {
        return 0;
    }
    const uint64_t key = (uint64_t{state} << 8 | c) + 1;
    for (size_t at = (key * kMoreHash) >> more_shift_;; at = (at + 1) & (more_keys_.size() - 1)) {
        if (more_keys_[at] == key) {
            return more_children_[at];
        }
        if (more_keys_[at] == 0) {
            return 0;
        }
    }
}

uint32_t PatternIndex::next(uint32_t state, unsigned char c) const {
    for (;;) {
        if (const uint32_t to = child(state, c); to != 0 || state == 0) {
            return to;
        }
        state = fail_[state];
    }
}

uint32_t PatternIndex::output_of(uint32_t state) const {
    const auto it =
        std::lower_bound(outputs_.begin(), outputs_.end(), std::pair<uint32_t, uint32_t>{state, 0});
    return it->second;
}

void PatternIndex::find(std::string_view text,
                        std::vector<std::pair<size_t, size_t>>& found) const {
    const size_t n = text.size();
    if (empty() || n < shortest_) {
        return;
    }
    const size_t first_found = found.size();
    const auto record = [&](size_t begin, size_t end) {
        while (found.size() > first_found && begin < found.back().second) {
            begin = std::min(begin, found.back().first);
            end = std::max(end, found.back().second);
            found.pop_back();
        }
        found.emplace_back(begin, end);
    };
    const char* const data = text.data();
    size_t read = 0;  // the automaton has read the text up to here
    uint32_t state = 0;
    for (size_t i = 0; i + kShortestPattern <= n; i += step_) {
        // The probes that no key passes, which are nearly all of them, cost no more than this.
        if (!filter_passes(key_at(data + i))) {
            continue;
        }
        // An occurrence that this probe finds starts no earlier than `step_ - 1` bytes before it.
        if (const size_t begin = i - std::min(i, step_ - 1); begin > read) {
            read = begin;
            state = 0;
        }
        // The automaton reads on while what it has read may still be the start of an occurrence
        // that starts at the probe or before: while its state's text starts there.
        while (read < n && (read - depth_[state] <= i || depth_[state] == UINT16_MAX)) {
            // Along a chain of states with one child each and no text ending at them, which is
            // most of a long secret, the text is compared with the chain's bytes as they stand.
            const uint8_t* const label = label_.data() + state + 1;
            const uint8_t* const flags = flags_.data() + state;
            size_t run = 0;
            // Eight bytes at a step while eight states of the chain follow, then one at a time.
            while (read + run + 8 <= n && state + run + 9 <= flags_.size()) {
                uint64_t f;
                uint64_t l;
                uint64_t t;
                std::memcpy(&f, flags + run, sizeof f);
                std::memcpy(&l, label + run, sizeof l);
                std::memcpy(&t, data + read + run, sizeof t);
                if (f != kFirstChild * 0x0101010101010101ULL || l != t) {
                    break;
                }
                run += 8;
            }
            while (flags[run] == kFirstChild && read + run < n &&
                   label[run] == static_cast<unsigned char>(data[read + run])) {
                ++run;
            }
            if (run > 0) {
                state += static_cast<uint32_t>(run);
                read += run;
            } else {
                state = next(state, static_cast<unsigned char>(data[read]));
                ++read;
            }
            if ((flags_[state] & kOutput) != 0) {
                record(read - output_of(state), read);
            }
        }
    }
}

size_t PatternIndex::unfinished_at_end(std::string_view text) const {
    const size_t n = text.size();
    if (empty()) {
        return n;
    }
    for (size_t t = n - std::min(n, longest_ - 1); t < n; ++t) {
        uint32_t state = 0;
        size_t j = t;
        for (; j < n; ++j) {
            state = child(state, static_cast<unsigned char>(text[j]));
            if (state == 0) {
                break;
            }
        }
        if (j == n && (flags_[state] & (kFirstChild | kMoreChildren)) != 0) {
            return t;
        }
    }
    return n;
}

size_t PatternIndex::memory_bytes() const {
    return sizeof *this + filter_.capacity() * sizeof(uint64_t) +
           root_.capacity() * sizeof(uint32_t) + label_.capacity() + flags_.capacity() +
           depth_.capacity() * sizeof(uint16_t) + fail_.capacity() * sizeof(uint32_t) +
           more_keys_.capacity() * sizeof(uint64_t) + more_children_.capacity() * sizeof(uint32_t) +
           outputs_.capacity() * sizeof(std::pair<uint32_t, uint32_t>);
}

}  // namespace quorvel::secrets
