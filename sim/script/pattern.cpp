#include "pattern.h"

#include <re2/re2.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <utility>

namespace sim {

namespace {

// Largest automaton a follower runs. Repeats are written out in full ({1000}
// of a class is 1000 steps), and a follower may visit every step twice per
// byte: this bounds the work per byte of console output.
constexpr std::size_t kMaxInstructions = 20000;

std::atomic<std::uint64_t> bytesSearched{0}, bytesFollowed{0};

enum Assertion : std::uint8_t {
  kBeginText,       // ^, \A
  kEndText,         // $, \z
  kBeginLine,       // ^ under (?m)
  kEndLine,         // $ under (?m)
  kWordBoundary,    // \b
  kNotWordBoundary  // \B
};

using ByteSet = std::array<std::uint64_t, 4>;

void addByte(ByteSet& set, unsigned byte) { set[byte >> 6] |= std::uint64_t{1} << (byte & 63); }
bool hasByte(const ByteSet& set, unsigned byte) { return (set[byte >> 6] >> (byte & 63)) & 1; }
void addRange(ByteSet& set, unsigned lo, unsigned hi) {
  for (unsigned b = lo; b <= hi; ++b) addByte(set, b);
}
void addSet(ByteSet& set, const ByteSet& other) {
  for (std::size_t i = 0; i < set.size(); ++i) set[i] |= other[i];
}
ByteSet negated(const ByteSet& set) {
  ByteSet out;
  for (std::size_t i = 0; i < set.size(); ++i) out[i] = ~set[i];
  return out;
}

// The other case of a byte read as Latin-1, as Unicode's simple case folding
// pairs them; the letters whose other case lies beyond Latin-1 (ß, µ, ÿ) have
// none here.
int otherCase(unsigned b) {
  if (b >= 'A' && b <= 'Z') return static_cast<int>(b + 32);
  if (b >= 'a' && b <= 'z') return static_cast<int>(b - 32);
  if (b >= 0xC0 && b <= 0xDE && b != 0xD7) return static_cast<int>(b + 32);
  if (b >= 0xE0 && b <= 0xFE && b != 0xF7) return static_cast<int>(b - 32);
  return -1;
}
ByteSet caseFolded(const ByteSet& set) {
  ByteSet out = set;
  for (unsigned b = 0; b < 256; ++b)
    if (hasByte(set, b) && otherCase(b) >= 0) addByte(out, static_cast<unsigned>(otherCase(b)));
  return out;
}

bool isWordByte(int b) {
  return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '_';
}

ByteSet perlClass(char letter) {
  ByteSet set{};
  switch (letter) {
    case 'd': addRange(set, '0', '9'); break;
    case 's': for (char c : {'\t', '\n', '\f', '\r', ' '}) addByte(set, static_cast<unsigned char>(c)); break;
    case 'w': addRange(set, '0', '9'); addRange(set, 'A', 'Z'); addRange(set, 'a', 'z'); addByte(set, '_'); break;
  }
  return set;
}

// The parsed pattern, before its repeats are written out.
struct Node {
  enum class Kind { Empty, Bytes, Assert, Concat, Alternate, Repeat } kind = Kind::Empty;
  ByteSet bytes{};
  Assertion assertion = kBeginText;
  std::vector<Node> children;
  int min = 0, max = 0;  // Repeat; max -1: no bound
};

struct Flags {
  bool foldCase = false, multiLine = false, dotAll = false;
};

// Reads the pattern RE2 has already accepted, for the follower's automaton.
// What RE2 accepts but this reader does not is refused with a reason, so the
// two never disagree on what a pattern means.
class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  Node parse() {
    Flags flags;
    Node node = alternation(flags);
    if (i_ != s_.size()) fail("unexpected ')'");
    return node;
  }

 private:
  [[noreturn]] static void fail(const std::string& why) { throw std::invalid_argument(why); }

  bool at(char c) const { return i_ < s_.size() && s_[i_] == c; }
  bool atText(std::string_view t) const { return s_.substr(i_, t.size()) == t; }
  unsigned char take() {
    if (i_ >= s_.size()) fail("the pattern ends too early");
    return static_cast<unsigned char>(s_[i_++]);
  }

  Node alternation(Flags& flags) {
    Node alt;
    alt.kind = Node::Kind::Alternate;
    alt.children.push_back(concatenation(flags));
    while (at('|')) {
      ++i_;
      alt.children.push_back(concatenation(flags));
    }
    if (alt.children.size() == 1) return std::move(alt.children.front());
    return alt;
  }

  Node concatenation(Flags& flags) {
    Node cat;
    cat.kind = Node::Kind::Concat;
    while (i_ < s_.size() && !at('|') && !at(')')) {
      std::optional<Node> atom = this->atom(flags);
      if (!atom) continue;  // a flag group: nothing to match
      while (i_ < s_.size()) {
        int min = 0, max = 0;
        if (at('*')) {
          min = 0, max = -1, ++i_;
        } else if (at('+')) {
          min = 1, max = -1, ++i_;
        } else if (at('?')) {
          min = 0, max = 1, ++i_;
        } else if (!repeatCount(min, max)) {
          break;
        }
        if (at('?')) ++i_;  // lazy: which match, not whether there is one
        Node repeat;
        repeat.kind = Node::Kind::Repeat;
        repeat.min = min;
        repeat.max = max;
        repeat.children.push_back(std::move(*atom));
        atom = std::move(repeat);
      }
      cat.children.push_back(std::move(*atom));
    }
    return cat;
  }

  // {n}, {n,} or {n,m} at the current position, consumed; anything else
  // there is a literal brace.
  bool repeatCount(int& min, int& max) {
    if (!at('{')) return false;
    std::size_t j = i_ + 1;
    auto number = [&](int& out) {
      std::size_t start = j;
      long value = 0;
      while (j < s_.size() && s_[j] >= '0' && s_[j] <= '9') {
        value = std::min(value * 10 + (s_[j] - '0'), 100000L);
        ++j;
      }
      out = static_cast<int>(value);
      return j > start;
    };
    if (!number(min)) return false;
    max = min;
    if (j < s_.size() && s_[j] == ',') {
      ++j;
      if (!number(max)) max = -1;
    }
    if (j >= s_.size() || s_[j] != '}') return false;
    i_ = j + 1;
    if (min > 1000 || max > 1000) fail("a repeat count is at most 1000");
    return true;
  }

  std::optional<Node> atom(Flags& flags) {
    unsigned char c = take();
    switch (c) {
      case '(': return group(flags);
      case '[': return bytes(charClass(flags));
      case '.': {
        ByteSet all = negated(ByteSet{});
        if (!flags.dotAll) all[0] &= ~(std::uint64_t{1} << '\n');
        return bytes(all);
      }
      case '^': return assertion(flags.multiLine ? kBeginLine : kBeginText);
      case '$': return assertion(flags.multiLine ? kEndLine : kEndText);
      case '*': case '+': case '?': fail("a repeat with nothing to repeat");
      case '\\': return escape(flags);
      default: return literal(c, flags);
    }
  }

  static Node bytes(const ByteSet& set) {
    Node node;
    node.kind = Node::Kind::Bytes;
    node.bytes = set;
    return node;
  }
  static Node assertion(Assertion a) {
    Node node;
    node.kind = Node::Kind::Assert;
    node.assertion = a;
    return node;
  }
  static Node literal(unsigned char c, const Flags& flags) {
    ByteSet set{};
    addByte(set, c);
    return bytes(flags.foldCase ? caseFolded(set) : set);
  }

  std::optional<Node> group(Flags& flags) {
    Flags inner = flags;
    if (at('?')) {
      ++i_;
      if (at('P') || at('<')) {
        if (at('P')) ++i_;
        if (!at('<')) fail("look-around is not supported");
        while (take() != '>') {
        }
      } else if (at('=') || at('!')) {
        fail("look-around is not supported");
      } else {
        // (?flags) for the rest of the group, or (?flags:...) for the group.
        bool on = true;
        for (;;) {
          unsigned char f = take();
          if (f == ')') {
            flags = inner;
            return std::nullopt;
          }
          if (f == ':') break;
          if (f == '-') on = false;
          else if (f == 'i') inner.foldCase = on;
          else if (f == 'm') inner.multiLine = on;
          else if (f == 's') inner.dotAll = on;
          else if (f != 'U') fail("unknown flag in (?...)");
        }
      }
    }
    Node node = alternation(inner);
    if (take() != ')') fail("missing ')'");
    return node;
  }

  std::optional<Node> escape(const Flags& flags) {
    unsigned char c = take();
    switch (c) {
      case 'A': return assertion(kBeginText);
      case 'z': return assertion(kEndText);
      case 'b': return assertion(kWordBoundary);
      case 'B': return assertion(kNotWordBoundary);
      case 'C': return bytes(negated(ByteSet{}));
      case 'Q': {
        Node cat;
        cat.kind = Node::Kind::Concat;
        while (i_ < s_.size() && !atText("\\E")) {
          // A backslash in \Q...\E escapes a following backslash only.
          if (atText("\\\\")) ++i_;
          cat.children.push_back(literal(take(), flags));
        }
        if (atText("\\E")) i_ += 2;
        return cat;
      }
      case 'E': return std::nullopt;  // an \E without \Q ends nothing
      default: break;
    }
    if (std::optional<ByteSet> set = classEscape(c)) return bytes(flags.foldCase ? caseFolded(*set) : *set);
    return literal(escapedByte(c), flags);
  }

  // \d \D \s \S \w \W, the same inside [...] and out.
  static std::optional<ByteSet> classEscape(unsigned char c) {
    switch (c) {
      case 'd': case 's': case 'w': return perlClass(static_cast<char>(c));
      case 'D': case 'S': case 'W': return negated(perlClass(static_cast<char>(c - 'A' + 'a')));
      case 'p': case 'P': fail("Unicode classes (\\p) are not supported: the text is bytes");
      default: return std::nullopt;
    }
  }

  // The byte an escape stands for (its backslash and letter already read).
  unsigned char escapedByte(unsigned char c) {
    switch (c) {
      case 'a': return 7;
      case 'f': return '\f';
      case 't': return '\t';
      case 'n': return '\n';
      case 'r': return '\r';
      case 'v': return '\v';
      case '0': {
        unsigned value = 0;
        for (int k = 0; k < 2 && i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '7'; ++k) value = value * 8 + (take() - '0');
        return static_cast<unsigned char>(value);
      }
      case 'x': {
        auto hex = [&](unsigned char h) -> unsigned {
          if (h >= '0' && h <= '9') return h - '0';
          if (h >= 'a' && h <= 'f') return h - 'a' + 10;
          if (h >= 'A' && h <= 'F') return h - 'A' + 10;
          fail("bad hexadecimal escape");
        };
        unsigned value = 0;
        if (at('{')) {
          ++i_;
          while (!at('}')) {
            value = value * 16 + hex(take());
            if (value > 0xFF) fail("\\x{...} above \\x{FF}: the text is bytes");
          }
          ++i_;
        } else {
          value = hex(take()) * 16;
          value += hex(take());
        }
        return static_cast<unsigned char>(value);
      }
      default:
        if (c >= '1' && c <= '9') fail("back-references (\\1 to \\9) are not supported; write a byte as \\xNN");
        if (c < 0x80 && !isWordByte(c)) return c;  // escaped punctuation
        fail(std::string("unknown escape \\") + static_cast<char>(c));
    }
  }

  ByteSet charClass(const Flags& flags) {
    ByteSet set{};
    bool negate = at('^');
    if (negate) ++i_;
    bool first = true;
    while (first || !at(']')) {
      first = false;
      if (atText("[:") && s_.find(":]", i_ + 2) != std::string_view::npos) {
        posixClass(set);
        continue;
      }
      unsigned char c = take();
      if (c == '\\') {
        unsigned char e = take();
        if (std::optional<ByteSet> perl = classEscape(e)) {
          addSet(set, *perl);
          continue;
        }
        c = escapedByte(e);
      }
      unsigned hi = c;
      if (at('-') && i_ + 1 < s_.size() && s_[i_ + 1] != ']') {
        ++i_;
        unsigned char h = take();
        if (h == '\\') h = escapedByte(take());
        hi = h;
      }
      if (hi < c) fail("bad range in [...]");
      addRange(set, c, hi);
    }
    ++i_;  // ]
    if (flags.foldCase) set = caseFolded(set);
    return negate ? negated(set) : set;
  }

  void posixClass(ByteSet& set) {
    std::size_t close = s_.find(":]", i_ + 2);
    std::string_view name = s_.substr(i_ + 2, close - i_ - 2);
    i_ = close + 2;
    bool negate = !name.empty() && name.front() == '^';
    if (negate) name.remove_prefix(1);
    ByteSet c{};
    if (name == "alnum") { addRange(c, '0', '9'); addRange(c, 'A', 'Z'); addRange(c, 'a', 'z'); }
    else if (name == "alpha") { addRange(c, 'A', 'Z'); addRange(c, 'a', 'z'); }
    else if (name == "ascii") addRange(c, 0, 0x7F);
    else if (name == "blank") { addByte(c, '\t'); addByte(c, ' '); }
    else if (name == "cntrl") { addRange(c, 0, 0x1F); addByte(c, 0x7F); }
    else if (name == "digit") addRange(c, '0', '9');
    else if (name == "graph") addRange(c, 0x21, 0x7E);
    else if (name == "lower") addRange(c, 'a', 'z');
    else if (name == "print") addRange(c, 0x20, 0x7E);
    else if (name == "punct") { addRange(c, 0x21, 0x2F); addRange(c, 0x3A, 0x40); addRange(c, 0x5B, 0x60); addRange(c, 0x7B, 0x7E); }
    else if (name == "space") { addRange(c, '\t', '\r'); addByte(c, ' '); }
    else if (name == "upper") addRange(c, 'A', 'Z');
    else if (name == "word") c = perlClass('w');
    else if (name == "xdigit") { addRange(c, '0', '9'); addRange(c, 'A', 'F'); addRange(c, 'a', 'f'); }
    else fail("unknown class [:" + std::string(name) + ":]");
    addSet(set, negate ? negated(c) : c);
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

// Writes the automaton out: a byte step and an assertion go on to the next
// instruction; branches and jumps name theirs.
class Compiler {
 public:
  explicit Compiler(Pattern::Program& program) : p_(program) {}

  void emit(const Node& node) {
    switch (node.kind) {
      case Node::Kind::Empty: break;
      case Node::Kind::Bytes:
        p_.byteSets.push_back(node.bytes);
        add({Pattern::Instruction::Op::Bytes, 0, static_cast<std::uint32_t>(p_.byteSets.size() - 1), 0});
        break;
      case Node::Kind::Assert:
        add({Pattern::Instruction::Op::Assert, node.assertion, 0, 0});
        break;
      case Node::Kind::Concat:
        for (const Node& child : node.children) emit(child);
        break;
      case Node::Kind::Alternate: {
        std::vector<std::size_t> jumps;
        for (std::size_t k = 0; k + 1 < node.children.size(); ++k) {
          std::size_t split = add({Pattern::Instruction::Op::Split, 0, 0, 0});
          p_.code[split].next = here();
          emit(node.children[k]);
          jumps.push_back(add({Pattern::Instruction::Op::Jump, 0, 0, 0}));
          p_.code[split].alternative = here();
        }
        emit(node.children.back());
        for (std::size_t jump : jumps) p_.code[jump].next = here();
        break;
      }
      case Node::Kind::Repeat: {
        const Node& body = node.children.front();
        for (int k = 0; k < node.min; ++k) emit(body);
        if (node.max < 0) {
          std::size_t split = add({Pattern::Instruction::Op::Split, 0, 0, 0});
          p_.code[split].next = here();
          emit(body);
          add({Pattern::Instruction::Op::Jump, 0, static_cast<std::uint32_t>(split), 0});
          p_.code[split].alternative = here();
        } else {
          for (int k = node.min; k < node.max; ++k) {
            std::size_t split = add({Pattern::Instruction::Op::Split, 0, 0, 0});
            p_.code[split].next = here();
            emit(body);
            p_.code[split].alternative = here();
          }
        }
        break;
      }
    }
  }

  std::size_t add(Pattern::Instruction instruction) {
    if (p_.code.size() >= kMaxInstructions)
      throw std::invalid_argument("the pattern is too large to follow (its repeats write out to more than " +
                                  std::to_string(kMaxInstructions) + " steps)");
    p_.code.push_back(instruction);
    return p_.code.size() - 1;
  }

 private:
  std::uint32_t here() const { return static_cast<std::uint32_t>(p_.code.size()); }
  Pattern::Program& p_;
};

// RE2's refusals, in the words of this syntax where they name what it leaves out.
std::string refusal(const re2::RE2& re) {
  const std::string& arg = re.error_arg();
  switch (re.error_code()) {
    case re2::RE2::ErrorRepeatSize:
      return "a repeat count is at most 1000, and repeats inside repeats at most 1000 together: " + arg;
    case re2::RE2::ErrorBadEscape:
      if (arg.size() == 2 && arg[1] >= '1' && arg[1] <= '9')
        return "back-references (\\1 to \\9) are not supported; write a byte as \\xNN";
      break;
    case re2::RE2::ErrorBadPerlOp:
      if (arg.starts_with("(?=") || arg.starts_with("(?!") || arg.starts_with("(?<"))
        return "look-around (" + arg + ") is not supported";
      break;
    default: break;
  }
  return re.error();
}

}  // namespace

Pattern::Pattern(std::string source) : source_(std::move(source)) {
  re2::RE2::Options options;
  options.set_encoding(re2::RE2::Options::EncodingLatin1);
  options.set_log_errors(false);
  re_ = std::make_unique<re2::RE2>(re2::StringPiece(source_.data(), source_.size()), options);
  if (!re_->ok()) throw std::invalid_argument(refusal(*re_));
  auto program = std::make_shared<Program>();
  Compiler compiler(*program);
  compiler.emit(Parser(source_).parse());
  compiler.add({Instruction::Op::Match, 0, 0, 0});
  program_ = std::move(program);
}

Pattern::Pattern(Pattern&&) noexcept = default;
Pattern& Pattern::operator=(Pattern&&) noexcept = default;
Pattern::~Pattern() = default;

std::optional<Pattern::Match> Pattern::find(std::string_view text) const {
  bytesSearched.fetch_add(text.size(), std::memory_order_relaxed);
  re2::StringPiece whole(text.data(), text.size()), match;
  if (!re_->Match(whole, 0, whole.size(), re2::RE2::UNANCHORED, &match, 1)) return std::nullopt;
  auto begin = static_cast<std::size_t>(match.data() - whole.data());
  return Match{begin, begin + match.size()};
}

Pattern compilePattern(const std::string& source) { return Pattern(source); }

PatternWork patternWork() {
  return {bytesSearched.load(std::memory_order_relaxed), bytesFollowed.load(std::memory_order_relaxed)};
}

PatternFollower::PatternFollower(const Pattern& pattern)
    : program_(pattern.program_), seen_(program_->code.size(), 0) {
  restart();
}

bool PatternFollower::restart() {
  waiting_.clear();
  last_ = -1;
  matched_ = close(-1, -1);
  return matched_;
}

bool PatternFollower::add(char byte) {
  if (matched_) return true;
  bytesFollowed.fetch_add(1, std::memory_order_relaxed);
  auto b = static_cast<unsigned char>(byte);
  // A match that ended before this byte, decided by it (\b, \B, $ before a
  // line end): only now is the byte after it known.
  if (close(last_, b)) return matched_ = true;
  waiting_.clear();
  for (std::uint32_t pc : ready_)
    if (hasByte(program_->byteSets[program_->code[pc].next], b)) waiting_.push_back(pc + 1);
  last_ = b;
  return matched_ = close(last_, -1);
}

bool PatternFollower::close(int before, int after) {
  if (++generation_ == 0) {  // wrapped: forget every mark
    std::fill(seen_.begin(), seen_.end(), 0);
    generation_ = 1;
  }
  ready_.clear();
  stack_.assign(waiting_.begin(), waiting_.end());
  stack_.push_back(0);  // a match may start at any position
  bool matched = false;
  while (!stack_.empty()) {
    std::uint32_t pc = stack_.back();
    stack_.pop_back();
    if (seen_[pc] == generation_) continue;
    seen_[pc] = generation_;
    const Pattern::Instruction& in = program_->code[pc];
    switch (in.op) {
      case Pattern::Instruction::Op::Bytes: ready_.push_back(pc); break;
      case Pattern::Instruction::Op::Jump: stack_.push_back(in.next); break;
      case Pattern::Instruction::Op::Split:
        stack_.push_back(in.alternative);
        stack_.push_back(in.next);
        break;
      case Pattern::Instruction::Op::Match: matched = true; break;
      case Pattern::Instruction::Op::Assert: {
        bool holds = false;
        switch (in.assertion) {
          case kBeginText: holds = before < 0; break;
          case kEndText: holds = after < 0; break;
          case kBeginLine: holds = before < 0 || before == '\n'; break;
          case kEndLine: holds = after < 0 || after == '\n'; break;
          case kWordBoundary: holds = isWordByte(before) != isWordByte(after); break;
          case kNotWordBoundary: holds = isWordByte(before) == isWordByte(after); break;
        }
        if (holds) stack_.push_back(pc + 1);
        break;
      }
    }
  }
  return matched;
}

}  // namespace sim
