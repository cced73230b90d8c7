// The recent readings `kwotarv serve` keeps for its dashboard: a fixed-size ring, oldest
// sample dropped first, and its JSON form with one series per channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
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
    // The i-th item, oldest first (i < Size()).
    const T& At(size_t i) const { return items_[(next_ + i) % items_.size()]; }
    // Oldest first.
    std::vector<T> Items() const
    {
        std::vector<T> out;
        out.reserve(items_.size());
        for (size_t i = 0; i < items_.size(); ++i)
            out.push_back(At(i));
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

// A channel's point of one sample, as the answer holds it: "[unix ms,value or null]".
struct HistoryPoint {
    const char* group;
    size_t index;
    std::string name;
    std::string json;
};

// A sample as the history keeps it: its number (the first sample is 1, each next one 1 more)
// and, when it is `up`, the points of its channels in their order, made once when it is added.
struct HistoryEntry {
    uint64_t number = 0;
    Sample sample;
    std::vector<HistoryPoint> points;
};
using HistoryEntryPtr = std::shared_ptr<const HistoryEntry>;

// What an answer is made of: the samples after the client's cursor, oldest first, the newest
// sample and the latest one that was `up` (null when there is none in the history).
struct HistoryView {
    std::vector<HistoryEntryPtr> newer;
    HistoryEntryPtr latest;
    HistoryEntryPtr good;
};

class History {
  public:
    explicit History(size_t capacity) : ring_(capacity) {}
    // Numbers the sample and makes its points.
    void Add(Sample sample);
    // The samples numbered above `since`: all of them for 0, and for a cursor past the newest
    // sample (one from before the server restarted).
    HistoryView Since(uint64_t since) const;
    // The number of the newest sample; 0 before the first.
    uint64_t Newest() const
    {
        std::lock_guard lock(mutex_);
        return added_;
    }

  private:
    mutable std::mutex mutex_;
    Ring<HistoryEntryPtr> ring_;
    uint64_t added_ = 0; // samples added so far, the number of the newest
};

// What the dashboard draws: the latest state with the count of channels in alarm, `last`, the
// number of the newest sample (the cursor of the next request), and per channel of the latest
// good reading its current value, its limits and verdict in the chart's unit (a fan charted in
// RPM is "low" when it counts too many) and its points [unix ms, value or null] over the
// samples of `view.newer`. The JSON text, assembled from the entries' points.
std::string HistoryText(const HistoryView& view, double intervalSeconds);

// The whole history of `samples` as HistoryText gives it, parsed.
nlohmann::ordered_json HistoryJson(const std::vector<Sample>& samples, double intervalSeconds);

} // namespace kwotarv
