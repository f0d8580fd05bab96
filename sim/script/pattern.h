#pragma once

// How a script's patterns (the /.../ of wait and expect) are compiled.

#include <regex>
#include <string>

namespace sim {

// ECMAScript syntax, matched by the regex library's breadth-first engine:
// its time grows with the text times the pattern, never exponentially, and
// its depth does not grow with the text. The default depth-first engine
// recurses once per character a repetition takes (a pattern such as
// [^!]* run over a long console transcript overflows the stack) and
// backtracks exponentially on patterns such as (a*)*b, which would hang a
// run. The price: back-references are refused.
//
// Refuses what the library cannot take safely or at all with
// std::invalid_argument, whose text says why.
std::regex compilePattern(const std::string& source);

}  // namespace sim
