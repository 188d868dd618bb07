#include "ovelin/ring_buffer.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "ovelin/error.hpp"

namespace ovelin {

namespace {

std::unique_ptr<double[]> allocate(std::size_t capacity) {
    if (capacity > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double))
        throw Error(Errc::out_of_memory, "a queue of this capacity cannot be allocated");
    try {
        // Left uninitialised: pages of a long history are touched only as it fills.
        return std::make_unique_for_overwrite<double[]>(capacity);
    } catch (const std::bad_alloc&) {
        throw Error(Errc::out_of_memory, "a queue of this capacity cannot be allocated");
    }
}

}  // namespace

RingBuffer::RingBuffer(std::size_t capacity) : data_(allocate(capacity)), capacity_(capacity) {}

RingBuffer::RingBuffer(const RingBuffer& other) : RingBuffer(other.capacity_) {
    for (std::size_t i = 0; i < other.size_; ++i) data_[i] = other[i];
    size_ = other.size_;
}

RingBuffer& RingBuffer::operator=(const RingBuffer& other) {
    if (this != &other) *this = RingBuffer(other);
    return *this;
}

RingBuffer::RingBuffer(RingBuffer&& other) noexcept
    : data_(std::move(other.data_)),
      capacity_(std::exchange(other.capacity_, 0)),
      head_(std::exchange(other.head_, 0)),
      size_(std::exchange(other.size_, 0)) {}

RingBuffer& RingBuffer::operator=(RingBuffer&& other) noexcept {
    data_ = std::move(other.data_);
    capacity_ = std::exchange(other.capacity_, 0);
    head_ = std::exchange(other.head_, 0);
    size_ = std::exchange(other.size_, 0);
    return *this;
}

std::size_t RingBuffer::count_not_greater(double value) const noexcept {
    // Upper bound: the first entry greater than value.
    std::size_t lo = 0, hi = size_;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (value < (*this)[mid])
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

void RingBuffer::assign(std::span<const double> values) {
    if (values.size() > capacity_) throw Error(Errc::size_mismatch, "more values than the queue can hold");
    std::copy(values.begin(), values.end(), data_.get());
    head_ = 0;
    size_ = values.size();
}

std::vector<double> RingBuffer::to_vector() const {
    std::vector<double> values(size_);
    for (std::size_t i = 0; i < size_; ++i) values[i] = (*this)[i];
    return values;
}

}  // namespace ovelin
