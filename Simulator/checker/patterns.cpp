// Pattern containment: a search for a text the inner pattern matches and the outer one does
// not, run on the outer pattern's automaton (states 0..n along a line; state i: the first i
// pattern characters are matched; "*" loops on any character and may be skipped).
//
// The texts tried are the inner pattern's with two choices made for it:
// - Every "?" of the inner pattern, and every character of its "*" runs, is one character the
//   outer pattern does not name. Only the outer "?" and "*" accept that character, and they
//   would accept any other there too, so no other choice is refused where this one is accepted.
// - Every "*" run of the inner pattern is either empty or longer than the outer pattern's
//   non-"*" characters (a long run; all long runs are alike, as an outer "*" must cover part
//   of one). Run lengths in between have not been found to tell two patterns apart: the tests
//   hold the search to the driver's own match over every short text.
// After a long run the automaton is in one of at most (number of outer "*") + 2 state sets,
// so each inner position is reached from few state sets: O(|inner|^2 * |outer|) steps at
// worst, without determinising either pattern.
//
// On a line automaton every way from a state below an active "*" to acceptance passes that
// "*", which accepts whatever follows it; states below the highest active "*" are dropped, so
// sets with the same future compare equal.
#include "checker/patterns.hpp"

#include <algorithm>
#include <memory>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim::machine {

namespace {

// Longest outer pattern the search takes: a registry key name has at most 255 characters.
constexpr size_t kLongestPattern = 255;

// A set of outer-pattern states, one bit each.
class StateSet {
  public:
    static StateSet Single(size_t i)
    {
        StateSet set;
        set.words_[i / 64] = uint64_t{1} << (i % 64);
        return set;
    }
    bool Has(size_t i) const { return (words_[i / 64] >> (i % 64)) & 1; }
    bool Empty() const
    {
        return std::all_of(std::begin(words_), std::end(words_), [](uint64_t w) { return w == 0; });
    }
    bool operator==(const StateSet& other) const
    {
        return std::equal(std::begin(words_), std::end(words_), std::begin(other.words_));
    }

    StateSet operator&(const StateSet& other) const
    {
        StateSet out;
        for (size_t w = 0; w < kWords; ++w)
            out.words_[w] = words_[w] & other.words_[w];
        return out;
    }
    StateSet& operator|=(const StateSet& other)
    {
        for (size_t w = 0; w < kWords; ++w)
            words_[w] |= other.words_[w];
        return *this;
    }
    // Every state moved one up.
    StateSet Next() const
    {
        StateSet out;
        uint64_t carry = 0;
        for (size_t w = 0; w < kWords; ++w) {
            out.words_[w] = words_[w] << 1 | carry;
            carry = words_[w] >> 63;
        }
        return out;
    }
    // Index of the highest state, or nothing for an empty set.
    std::optional<size_t> Highest() const
    {
        for (size_t w = kWords; w-- > 0;)
            if (words_[w] != 0)
                return w * 64 + 63 - static_cast<size_t>(__builtin_clzll(words_[w]));
        return std::nullopt;
    }
    void DropBelow(size_t i)
    {
        for (size_t w = 0; w < i / 64; ++w)
            words_[w] = 0;
        words_[i / 64] &= ~uint64_t{0} << (i % 64);
    }
    void Add(size_t i) { words_[i / 64] |= uint64_t{1} << (i % 64); }

  private:
    static constexpr size_t kWords = (kLongestPattern + 1 + 63) / 64;
    uint64_t words_[kWords] = {};
};

} // namespace

// The outer pattern's automaton, stepped a whole state set at a time. Runs of "*" are one "*".
struct OuterPattern::Automaton {
    explicit Automaton(std::string_view pattern)
    {
        for (char c : pattern)
            if (c != '*' || pattern_.empty() || pattern_.back() != '*')
                pattern_ += c;
        for (size_t i = 0; i < pattern_.size(); ++i) {
            const char c = pattern_[i];
            if (c == '*') {
                stars_.Add(i);
                continue;
            }
            ++literals_;
            if (c == '?') {
                any_.Add(i);
            } else {
                auto it = std::find_if(byCharacter_.begin(), byCharacter_.end(),
                                       [c](const auto& entry) { return entry.first == c; });
                if (it == byCharacter_.end())
                    it = byCharacter_.insert(it, {c, StateSet{}});
                it->second.Add(i);
                named_[static_cast<unsigned char>(c) / 64] |=
                    uint64_t{1} << (static_cast<unsigned char>(c) % 64);
            }
        }
    }

    StateSet Start() const { return Settle(StateSet::Single(0)); }

    StateSet Step(const StateSet& from, unsigned char c) const
    {
        StateSet consumed = any_;
        for (const auto& [character, states] : byCharacter_)
            if (static_cast<unsigned char>(character) == c)
                consumed |= states;
        StateSet to = (from & consumed).Next();
        to |= from & stars_;
        return Settle(to);
    }

    bool Accepts(const StateSet& set) const { return set.Has(pattern_.size()); }

    // True when `c` is a literal of the pattern.
    bool Names(unsigned char c) const { return (named_[c / 64] >> (c % 64)) & 1; }

    // True when every literal of the pattern is also a literal of `other`, as it is when the
    // pattern accepts the shortest text of `other`.
    bool NamesOnlyLiteralsOf(std::string_view other) const
    {
        uint64_t named[4] = {};
        for (char c : other)
            if (c != '*' && c != '?')
                named[static_cast<unsigned char>(c) / 64] |=
                    uint64_t{1} << (static_cast<unsigned char>(c) % 64);
        for (size_t w = 0; w < 4; ++w)
            if ((named_[w] & ~named[w]) != 0)
                return false;
        return true;
    }

    // Number of characters that are not "*": no text shorter than that is accepted.
    size_t Literals() const { return literals_; }

    // Adds the states reached by skipping a "*" and drops those below the highest active "*".
    StateSet Settle(StateSet set) const
    {
        const StateSet activeStars = set & stars_;
        if (const auto highest = activeStars.Highest()) {
            set |= activeStars.Next();
            set.DropBelow(*highest);
        }
        return set;
    }

    std::string pattern_;
    StateSet stars_;
    StateSet any_;
    std::vector<std::pair<char, StateSet>> byCharacter_;
    uint64_t named_[4] = {}; // bit c: the pattern has the literal c
    size_t literals_ = 0;
};

namespace {

// A character the outer pattern does not name: a registry key name cannot hold a backslash, so
// for real patterns there always is one.
std::optional<unsigned char> FreeCharacter(const OuterPattern::Automaton& outer)
{
    for (unsigned c : {unsigned{'\\'}, 1u})
        for (; c <= 0xFF; ++c)
            if (!outer.Names(static_cast<unsigned char>(c)))
                return static_cast<unsigned char>(c);
    return std::nullopt;
}

// True when the shortest text of the inner pattern (its "*" empty, its "?" a character the
// outer pattern does not name) already fails the outer pattern's fixed start or end, or is too
// short for it. Answers most pairs of a configuration without building anything.
bool PartsAtTheEnds(std::string_view outer, std::string_view inner)
{
    auto literals = [](std::string_view p) {
        return p.size() - static_cast<size_t>(std::count(p.begin(), p.end(), '*'));
    };
    if (literals(inner) < literals(outer))
        return true;
    const size_t firstStar = outer.find('*');
    if (firstStar == std::string_view::npos)
        return inner.find('*') != std::string_view::npos || inner.size() != outer.size();
    // An outer literal at a fixed place faces an inner "?" or another literal.
    auto differ = [](char o, char i) { return o != '?' && (i == '?' || i != o); };
    for (size_t i = 0; i < firstStar && i < inner.size() && inner[i] != '*'; ++i)
        if (differ(outer[i], inner[i]))
            return true;
    const size_t tail = outer.size() - outer.rfind('*') - 1;
    for (size_t i = 1; i <= tail && i <= inner.size() && inner[inner.size() - i] != '*'; ++i)
        if (differ(outer[outer.size() - i], inner[inner.size() - i]))
            return true;
    return false;
}

} // namespace

bool MatchesEverything(std::string_view pattern)
{
    return std::all_of(pattern.begin(), pattern.end(), [](char c) { return c == '*'; });
}

OuterPattern::OuterPattern(std::string_view pattern) : pattern_(pattern)
{
    if (pattern.size() <= kLongestPattern) {
        automaton_ = std::make_unique<const Automaton>(pattern);
        free_ = FreeCharacter(*automaton_);
    }
}

OuterPattern::~OuterPattern() = default;
OuterPattern::OuterPattern(OuterPattern&&) noexcept = default;
OuterPattern& OuterPattern::operator=(OuterPattern&&) noexcept = default;

bool PatternCovers(std::string_view outer, std::string_view inner)
{
    return OuterPattern(outer).Covers(inner);
}

bool OuterPattern::Covers(std::string_view inner) const
{
    if (PartsAtTheEnds(pattern_, inner))
        return false;
    if (!automaton_ || !free_)
        return false; // not a pattern a registry key can name; claim nothing
    const Automaton& automaton = *automaton_;
    if (!automaton.NamesOnlyLiteralsOf(inner))
        return false;
    const unsigned char free = *free_;
    const size_t longRun = automaton.Literals() + 1;

    // From inner position `start` (the beginning or just after a "*" run) with `states`: read
    // on; at each "*" run either leave it empty and go on, or make it long and note where the
    // text continues. Each (position, state set) is followed once.
    std::vector<std::vector<StateSet>> seen(inner.size() + 1);
    std::vector<std::pair<size_t, StateSet>> pending{{0, automaton.Start()}};
    while (!pending.empty()) {
        auto [position, states] = pending.back();
        pending.pop_back();
        for (; position < inner.size(); ++position) {
            const char c = inner[position];
            if (c != '*') {
                states = automaton.Step(states, c == '?' ? free : static_cast<unsigned char>(c));
                if (states.Empty())
                    return false; // no text the inner pattern goes on to match is accepted
                continue;
            }
            size_t after = position + 1;
            while (after < inner.size() && inner[after] == '*')
                ++after;
            StateSet longGap = states;
            for (size_t i = 0; i < longRun; ++i) {
                const StateSet next = automaton.Step(longGap, free);
                if (next == longGap)
                    break; // settled: a longer run changes nothing
                longGap = next;
            }
            if (longGap.Empty())
                return false;
            auto& here = seen[after];
            if (std::find(here.begin(), here.end(), longGap) == here.end()) {
                here.push_back(longGap);
                pending.emplace_back(after, longGap);
            }
            position = after - 1;
        }
        if (!automaton.Accepts(states))
            return false; // a text the inner pattern matches and the outer does not
    }
    return true;
}

} // namespace sim::machine
