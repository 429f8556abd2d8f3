// The length vector: requested prefix lengths, rewritten in place into the doubles of the result.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace corvane {

/// A growable array of unsigned 64-bit integers. Short vectors live inline, so a typical call
/// allocates nothing; longer ones move to the heap, growing geometrically.
class LengthVector {
  public:
    static constexpr std::size_t k_inline_capacity = 8;

    LengthVector() noexcept = default;
    LengthVector(const LengthVector&) = delete;
    LengthVector& operator=(const LengthVector&) = delete;
    LengthVector(LengthVector&& other) noexcept { take_from(other); }
    LengthVector& operator=(LengthVector&& other) noexcept {
        if (this != &other) take_from(other);
        return *this;
    }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::span<std::uint64_t> span() noexcept { return {data_, size_}; }
    std::uint64_t operator[](std::size_t k) const noexcept { return data_[k]; }

    /// Makes room for `count` elements in all; throws std::bad_alloc when the heap cannot.
    void reserve(std::size_t count) {
        if (count <= capacity_) return;
        auto grown = std::make_unique_for_overwrite<std::uint64_t[]>(count);
        std::copy_n(data_, size_, grown.get());
        heap_ = std::move(grown);
        data_ = heap_.get();
        capacity_ = count;
    }

    /// Empties the vector, keeping its storage.
    void clear() noexcept { size_ = 0; }

    void push_back(std::uint64_t value) {
        if (size_ == capacity_) [[unlikely]]
            reserve(std::max<std::size_t>(capacity_ * 2, 4));
        data_[size_++] = value;
    }

  private:
    void take_from(LengthVector& other) noexcept {
        size_ = other.size_;
        capacity_ = other.capacity_;
        if (other.heap_) {
            heap_ = std::move(other.heap_);
            data_ = heap_.get();
        } else {
            heap_.reset();
            std::copy_n(other.inline_, other.size_, inline_);
            data_ = inline_;
        }
        other.data_ = other.inline_;
        other.size_ = 0;
        other.capacity_ = k_inline_capacity;
    }

    // Left unset until written: a call reads only the lengths it was given.
    std::uint64_t inline_[k_inline_capacity];
    std::unique_ptr<std::uint64_t[]> heap_;
    std::uint64_t* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = k_inline_capacity;
};

} // namespace corvane
