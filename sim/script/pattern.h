#pragma once

// A script's patterns (the /.../ of wait): compiled, searched, and followed
// over a transcript that grows byte by byte.
//
// The syntax is RE2's (Perl-like), over bytes: a byte is a character
// (Latin-1), so any byte the board sends can be matched, e.g. \xB0 for the
// degree sign of a single-byte terminal. Accepted:
//   literals and \-escaped punctuation, . (not \n unless (?s)), [...] and
//   [^...] with ranges and [:alpha:]-style classes, \d \D \w \W \s \S,
//   \a \f \t \n \r \v \xNN \x{NN} \0 \0NN \Q...\E, \C (any byte),
//   ^ $ \A \z \b \B, | ( ) (?:...) (?P<name>...), * + ? {n} {n,} {n,m} with
//   a lazy ? after any of them, and the flags (?i) (?m) (?s) (?U), also as
//   (?i:...).
// Refused, each with a message saying so: back-references (\1 to \9),
// look-around ((?=, (?!, (?<=), Unicode classes (\p{...}), a repeat count over
// 1000 (nested repeats: their product), and patterns too large to follow.
//
// Matching time is linear in the text by construction: RE2 finds a match
// with automata and never backtracks, and a wait follows its growing
// transcript with PatternFollower, whose work per byte is bounded by the size
// of the pattern, however long the text since the previous match.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace re2 {
class RE2;
}

namespace sim {

class Pattern {
 public:
  // Refuses a pattern that does not compile, or that the syntax above does
  // not accept, with std::invalid_argument whose text says why.
  explicit Pattern(std::string source);
  Pattern(Pattern&&) noexcept;
  Pattern& operator=(Pattern&&) noexcept;
  ~Pattern();

  const std::string& source() const { return source_; }

  struct Match {
    std::size_t begin, end;  // offsets in the text searched
  };
  // The leftmost match in text, the first of the alternatives and the
  // longest of greedy repeats as Perl would choose it; the text's start and
  // end are where ^ and $ match.
  std::optional<Match> find(std::string_view text) const;

  // The automaton a follower runs: one instruction per byte set, branch,
  // jump or zero-width assertion.
  struct Instruction {
    enum class Op : std::uint8_t { Bytes, Split, Jump, Assert, Match } op;
    std::uint8_t assertion = 0;    // Assert: which (see pattern.cpp)
    std::uint32_t next = 0;        // Split, Jump: the target; Bytes: the set
    std::uint32_t alternative = 0; // Split: the second target
  };
  struct Program {
    std::vector<Instruction> code;  // starts at 0
    std::vector<std::array<std::uint64_t, 4>> byteSets;
  };

 private:
  friend class PatternFollower;
  std::string source_;
  std::unique_ptr<re2::RE2> re_;
  std::shared_ptr<const Program> program_;
};

// Compiles a pattern (see Pattern).
Pattern compilePattern(const std::string& source);

// Bytes of text all patterns have searched (find) and followed (add) in
// this process so far: the work the waits on patterns did, which the tests
// hold to the length of the transcript.
struct PatternWork {
  std::uint64_t searched = 0, followed = 0;
};
PatternWork patternWork();

// Follows a text that grows byte by byte and says, at each byte, whether the
// text so far holds a match of the pattern anywhere. Each byte costs at most
// a fixed amount of work for the pattern (two passes over its automaton), so
// following a text of any length is linear in it.
class PatternFollower {
 public:
  explicit PatternFollower(const Pattern& pattern);

  // The text is empty again. True when the empty text already matches.
  bool restart();
  // The next byte of the text; true when the text up to and including it
  // holds a match. Once true, stays true until restart().
  bool add(char byte);

 private:
  // Walks the zero-width steps from the threads waiting at the current
  // position, given the bytes on either side (-1: none); keeps the byte
  // steps reached in ready_. True when the match instruction is reached.
  bool close(int before, int after);

  std::shared_ptr<const Pattern::Program> program_;
  std::vector<std::uint32_t> waiting_;  // threads at the current position
  std::vector<std::uint32_t> ready_;    // byte steps reached by close()
  std::vector<std::uint32_t> stack_;
  std::vector<std::uint32_t> seen_;     // generation each instruction was reached in
  std::uint32_t generation_ = 0;
  int last_ = -1;                       // the text's last byte; -1 while empty
  bool matched_ = false;
};

}  // namespace sim
