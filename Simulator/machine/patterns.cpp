// Pattern containment by a walk over the product of the two patterns' automata.
//
// A pattern of n characters is a nondeterministic automaton with states 0..n (state i: the
// first i pattern characters are matched); "*" loops on any character and may also be skipped.
// Characters that appear in neither pattern all behave alike, so the walk tries every literal
// character of both patterns plus one stand-in for "any other character". `inner` is covered
// when no reachable pair of state sets accepts in `inner` without accepting in `outer`.
#include "machine/patterns.hpp"

#include <algorithm>
#include <deque>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace sim::machine {

namespace {

using States = std::vector<bool>;

// Adds the states reachable by skipping "*" characters.
void Close(std::string_view pattern, States& states)
{
    for (size_t i = 0; i < pattern.size(); ++i)
        if (states[i] && pattern[i] == '*')
            states[i + 1] = true;
}

States Start(std::string_view pattern)
{
    States states(pattern.size() + 1, false);
    states[0] = true;
    Close(pattern, states);
    return states;
}

// One character; `other` stands for a character that is no literal of either pattern.
States Step(std::string_view pattern, const States& from, char c, bool other)
{
    States to(pattern.size() + 1, false);
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (!from[i])
            continue;
        const char p = pattern[i];
        if (p == '*')
            to[i] = true;
        else if (p == '?' || (!other && p == c))
            to[i + 1] = true;
    }
    Close(pattern, to);
    return to;
}

bool Accepts(const States& states)
{
    return states.back();
}

bool Empty(const States& states)
{
    return std::none_of(states.begin(), states.end(), [](bool b) { return b; });
}

} // namespace

bool MatchesEverything(std::string_view pattern)
{
    return std::all_of(pattern.begin(), pattern.end(), [](char c) { return c == '*'; });
}

bool PatternCovers(std::string_view outer, std::string_view inner)
{
    std::string alphabet;
    for (char c : std::string(outer) + std::string(inner))
        if (c != '*' && c != '?' && alphabet.find(c) == std::string::npos)
            alphabet += c;

    using Pair = std::pair<States, States>; // {outer, inner}
    std::set<Pair> seen;
    std::deque<Pair> pending;
    pending.push_back({Start(outer), Start(inner)});
    seen.insert(pending.front());
    while (!pending.empty()) {
        const Pair current = pending.front();
        pending.pop_front();
        if (Accepts(current.second) && !Accepts(current.first))
            return false; // a text `inner` matches and `outer` does not
        for (size_t symbol = 0; symbol <= alphabet.size(); ++symbol) {
            const bool other = symbol == alphabet.size();
            const char c = other ? '\0' : alphabet[symbol];
            Pair next{Step(outer, current.first, c, other), Step(inner, current.second, c, other)};
            if (Empty(next.second))
                continue; // `inner` matches nothing along this way
            if (seen.insert(next).second)
                pending.push_back(std::move(next));
        }
    }
    return true;
}

} // namespace sim::machine
