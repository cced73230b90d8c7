// Questions about the wildcard patterns that name board configurations ("*" any run of
// characters, "?" exactly one, everything else itself, case-sensitive), as the driver's
// WildcardMatch understands them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sim::machine {

// True when every text that `inner` matches is also matched by `outer`: a configuration named
// `inner` that enumerates after `outer` is never chosen.
bool PatternCovers(std::string_view outer, std::string_view inner);

// One pattern asked about many others: the containment tests of PatternCovers with the
// pattern's automaton built once.
class OuterPattern {
  public:
    explicit OuterPattern(std::string_view pattern);
    ~OuterPattern();
    OuterPattern(OuterPattern&&) noexcept;
    OuterPattern& operator=(OuterPattern&&) noexcept;

    // True when every text that `inner` matches is also matched by this pattern.
    bool Covers(std::string_view inner) const;

    struct Automaton;

  private:
    std::string pattern_;
    std::unique_ptr<const Automaton> automaton_;
    std::optional<unsigned char> free_; // a character the pattern does not name
};

// True when the pattern is made of "*" characters only (it matches every product name).
bool MatchesEverything(std::string_view pattern);

} // namespace sim::machine
