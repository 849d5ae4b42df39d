// A shared, immutable byte buffer: copies and slices share one allocation, so a packet can be
// handed to several holders (a batch, a log, a capture) without copying its bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace quorvel {

// A growable buffer owned by one holder (packets being written, write batches).
using BytesMut = std::vector<uint8_t>;

class Bytes {
  public:
    Bytes() = default;
    // Takes the vector's storage without copying it.
    explicit Bytes(std::vector<uint8_t> data)
        : storage_(std::make_shared<const std::vector<uint8_t>>(std::move(data))),
          offset_(0),
          size_(storage_->size()) {}
    static Bytes copy_from(std::span<const uint8_t> data) {
        return Bytes(std::vector<uint8_t>(data.begin(), data.end()));
    }

    const uint8_t* data() const { return storage_ ? storage_->data() + offset_ : nullptr; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::span<const uint8_t> span() const { return {data(), size_}; }
    operator std::span<const uint8_t>() const { return span(); }
    const uint8_t* begin() const { return data(); }
    const uint8_t* end() const { return data() + size_; }
    uint8_t operator[](size_t i) const { return data()[i]; }

    // The bytes [offset, offset + length) of this buffer, sharing its storage; clamped to the end.
    Bytes slice(size_t offset, size_t length) const {
        Bytes out;
        if (offset >= size_) {
            return out;
        }
        out.storage_ = storage_;
        out.offset_ = offset_ + offset;
        out.size_ = length < size_ - offset ? length : size_ - offset;
        return out;
    }

    std::vector<uint8_t> to_vector() const { return std::vector<uint8_t>(begin(), end()); }

    // Compares contents, not storage.
    bool operator==(const Bytes& other) const {
        return size_ == other.size_ &&
               (size_ == 0 || std::memcmp(data(), other.data(), size_) == 0);
    }

  private:
    std::shared_ptr<const std::vector<uint8_t>> storage_;
    size_t offset_ = 0;
    size_t size_ = 0;
};

}  // namespace quorvel
