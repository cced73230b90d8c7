// The recent readings `kwotarv serve` keeps for its dashboard: a fixed-size ring, oldest
// sample dropped first, and its JSON form with one series per channel.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include <nlohmann/json.hpp>

#include "serve/sensor_monitor.hpp"

namespace kwotarv {

// A ring of the last `capacity` items. Not synchronised; History wraps it with a lock.
template <typename T> class Ring {
  public:
    explicit Ring(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

    void Push(T item)
    {
        if (items_.size() < capacity_) {
            items_.push_back(std::move(item));
        } else {
            items_[next_] = std::move(item);
            next_ = (next_ + 1) % capacity_;
        }
    }
    // Oldest first.
    std::vector<T> Items() const
    {
        std::vector<T> out;
        out.reserve(items_.size());
        for (size_t i = 0; i < items_.size(); ++i)
            out.push_back(items_[(next_ + i) % items_.size()]);
        return out;
    }
    size_t Size() const { return items_.size(); }
    size_t Capacity() const { return capacity_; }

  private:
    size_t capacity_;
    size_t next_ = 0; // the oldest item once the ring is full
    std::vector<T> items_;
};

// Samples for at least `span` seconds at one per `interval` seconds.
size_t HistoryCapacity(double intervalSeconds, double spanSeconds);

class History {
  public:
    explicit History(size_t capacity) : ring_(capacity) {}
    void Add(Sample sample)
    {
        std::lock_guard lock(mutex_);
        ring_.Push(std::move(sample));
    }
    std::vector<Sample> Samples() const
    {
        std::lock_guard lock(mutex_);
        return ring_.Items();
    }

  private:
    mutable std::mutex mutex_;
    Ring<Sample> ring_;
};

// What the dashboard draws: the latest state with the count of channels in alarm and, per
// channel of the latest good reading, its current value, its limits and verdict in the chart's
// unit (a fan charted in RPM is "low" when it counts too many) and its points [unix ms, value
// or null] over the samples.
nlohmann::ordered_json HistoryJson(const std::vector<Sample>& samples, double intervalSeconds);

} // namespace kwotarv
