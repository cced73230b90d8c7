// Board timelines: the steps that come due between two readings of the machine's clock.
#include "board/timeline.hpp"

#include <algorithm>
#include <cmath>

namespace sim::machine {

std::vector<const TimelineStep*> DueSteps(const Timeline& timeline, double from, double to)
{
    std::vector<const TimelineStep*> due;
    if (!(to > from))
        return due;
    if (timeline.repeat <= 0) {
        for (const TimelineStep& step : timeline.steps)
            if (step.at > from && step.at <= to)
                due.push_back(&step);
        return due;
    }

    const double period = timeline.repeat;
    from = std::max(from, to - period);
    // Occurrences at step.at + k * period for k = 0, 1, ...: walk the periods the span touches.
    const double first = std::max(0.0, std::floor((from - period) / period));
    for (double k = first; k * period < to; k += 1)
        for (const TimelineStep& step : timeline.steps) {
            const double when = step.at + k * period;
            if (when > from && when <= to)
                due.push_back(&step);
        }
    return due;
}

} // namespace sim::machine
