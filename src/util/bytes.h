// Packet buffers: `Bytes` is a shared immutable view of bytes (copying it shares the storage and
// copies no bytes); `BytesMut` is a plain growable buffer owned by one holder.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

namespace quorvel {

using BytesMut = std::vector<std::uint8_t>;

class Bytes {
  public:
    Bytes() = default;
    // Takes the buffer over without copying its bytes.
    explicit Bytes(BytesMut buffer)
        : storage_(std::make_shared<const BytesMut>(std::move(buffer))),
          offset_(0),
          size_(storage_->size()) {}
    static Bytes copy_from(std::span<const std::uint8_t> bytes) {
        return Bytes(BytesMut(bytes.begin(), bytes.end()));
    }

    const std::uint8_t* data() const { return storage_ ? storage_->data() + offset_ : nullptr; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::span<const std::uint8_t> span() const { return {data(), size_}; }
    operator std::span<const std::uint8_t>() const { return span(); }
    const std::uint8_t* begin() const { return data(); }
    const std::uint8_t* end() const { return data() + size_; }
    std::uint8_t operator[](std::size_t i) const { return data()[i]; }

    // A view of [from, to) sharing this storage.
    Bytes slice(std::size_t from, std::size_t to) const {
        if (from > to || to > size_) {
            throw std::out_of_range("Bytes::slice out of range");
        }
        Bytes out(*this);
        out.offset_ += from;
        out.size_ = to - from;
        return out;
    }
    BytesMut to_vec() const { return BytesMut(begin(), end()); }

    // Compares contents, not storage.
    friend bool operator==(const Bytes& a, const Bytes& b) {
        return a.size_ == b.size_ && (a.size_ == 0 || std::equal(a.begin(), a.end(), b.begin()));
    }

  private:
    std::shared_ptr<const BytesMut> storage_;
    std::size_t offset_ = 0;
    std::size_t size_ = 0;
};

}  // namespace quorvel
