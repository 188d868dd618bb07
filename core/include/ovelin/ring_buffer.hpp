#pragma once
// A bounded queue of doubles with a fixed capacity, allocated once.
//
// Appending at the back of a full queue discards the front (oldest) entry;
// prepending at the front of a full queue discards the back (newest) entry.
// Index 0 is the front. Nothing allocates after construction, so a history
// can never grow beyond its capacity.

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace ovelin {

class RingBuffer {
public:
    // Throws Errc::out_of_memory when `capacity` doubles cannot be allocated.
    explicit RingBuffer(std::size_t capacity);
    RingBuffer(const RingBuffer& other);
    RingBuffer& operator=(const RingBuffer& other);
    // A moved-from queue is empty with capacity 0.
    RingBuffer(RingBuffer&& other) noexcept;
    RingBuffer& operator=(RingBuffer&& other) noexcept;

    // Sizes in entries.
    std::size_t capacity() const noexcept { return capacity_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    bool full() const noexcept { return size_ == capacity_; }

    // Entry i, counted from the front; i < size().
    double operator[](std::size_t i) const noexcept { return data_[slot(i)]; }
    double front() const noexcept { return data_[head_]; }
    double back() const noexcept { return data_[slot(size_ - 1)]; }

    // Appends at the back; a full queue drops its front entry. A queue of
    // capacity 0 stays empty.
    void push_back(double value) noexcept {
        if (capacity_ == 0) return;
        if (size_ < capacity_) {
            data_[slot(size_)] = value;
            ++size_;
            return;
        }
        data_[head_] = value;
        head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
    }

    // Prepends at the front; a full queue drops its back entry.
    void push_front(double value) noexcept {
        if (capacity_ == 0) return;
        // On a full queue the slot before the front holds the back entry.
        head_ = head_ == 0 ? capacity_ - 1 : head_ - 1;
        data_[head_] = value;
        if (size_ < capacity_) ++size_;
    }

    // Number of entries <= value, by binary search (the entries must be
    // ascending for the count to be meaningful; it is within [0, size()]
    // whatever they hold).
    std::size_t count_not_greater(double value) const noexcept;

    // Replaces the contents with `values` (front first). Throws
    // Errc::size_mismatch, leaving the queue as it was, when they exceed the
    // capacity.
    void assign(std::span<const double> values);
    // The entries, front first. Throws std::bad_alloc when they cannot be copied.
    std::vector<double> to_vector() const;

private:
    std::size_t slot(std::size_t i) const noexcept {
        const std::size_t tail_room = capacity_ - head_;
        return i < tail_room ? head_ + i : i - tail_room;
    }

    std::unique_ptr<double[]> data_;
    std::size_t capacity_;
    std::size_t head_ = 0;  // slot of the front entry
    std::size_t size_ = 0;
};

}  // namespace ovelin
