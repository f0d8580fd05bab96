#include "scenario_file.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>

namespace sim {

namespace {

// A scenario's header is small; a file this big is no scenario.
constexpr std::uintmax_t kMaxScenarioBytes = 16u << 20;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// "# key: rest" -> rest, when the line is a header line of that key.
std::optional<std::string_view> headerValue(std::string_view line, std::string_view key) {
  std::size_t at = 0;
  while (at < line.size() && isBlank(line[at])) ++at;
  if (at >= line.size() || line[at] != '#') return std::nullopt;
  ++at;
  while (at < line.size() && isBlank(line[at])) ++at;
  if (line.substr(at, key.size()) != key || line.substr(at + key.size(), 1) != ":") return std::nullopt;
  at += key.size() + 1;
  while (at < line.size() && isBlank(line[at])) ++at;
  return line.substr(at);
}

bool isHeaderLine(std::string_view line) {
  std::size_t at = 0;
  while (at < line.size() && isBlank(line[at])) ++at;
  return at < line.size() && line[at] == '#';
}

std::optional<std::string> besideIfExists(const std::filesystem::path& script, const char* extension) {
  std::filesystem::path other = script;
  other.replace_extension(extension);
  std::error_code error;
  if (std::filesystem::is_regular_file(other, error)) return other.string();
  return std::nullopt;
}

}  // namespace

ScenarioFile readScenarioFile(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error).lexically_normal();
  if (error) throw std::runtime_error("cannot read " + path + ": " + error.message());
  std::uintmax_t size = std::filesystem::file_size(absolute, error);
  if (error) throw std::runtime_error("cannot read " + path + ": " + error.message());
  if (size > kMaxScenarioBytes) throw std::runtime_error(path + " is larger than 16 MiB: no scenario");
  std::ifstream in(absolute, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);

  ScenarioFile scenario;
  scenario.path = absolute.string();
  scenario.name = absolute.stem().string();
  scenario.expectedConsole = besideIfExists(absolute, ".console");
  scenario.expectedZigbee = besideIfExists(absolute, ".zigbee");

  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!isHeaderLine(line)) break;
    if (auto args = headerValue(line, "args")) {
      auto words = splitShellWords(*args);
      if (!words) {
        scenario.headerError = "the header line \"" + line + "\" leaves a quote open";
        continue;
      }
      scenario.args.insert(scenario.args.end(), words->begin(), words->end());
    } else if (auto exit = headerValue(line, "exit")) {
      std::string_view digits = *exit;
      while (!digits.empty() && isBlank(digits.back())) digits.remove_suffix(1);
      bool number = !digits.empty() && digits.size() <= 3;
      for (char c : digits) number = number && std::isdigit(static_cast<unsigned char>(c));
      int value = number ? std::stoi(std::string(digits)) : -1;
      if (value < 0 || value > 255) {
        scenario.headerError = "the header line \"" + line + "\" names no exit status from 0 to 255";
        continue;
      }
      scenario.expectedExit = value;
    } else if (auto text = headerValue(line, "stderr")) {
      scenario.stderrContains.emplace_back(*text);
    } else if (auto once = headerValue(line, "stderr-once")) {
      scenario.stderrOnce.emplace_back(*once);
    }
  }
  if (in.bad()) throw std::runtime_error("cannot read " + path);
  return scenario;
}

std::optional<std::vector<std::string>> splitShellWords(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (std::size_t at = 0; at < line.size(); ++at) {
    char c = line[at];
    if (isBlank(c) || c == '\n') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '\\') {
      if (++at < line.size()) word += line[at];
    } else if (c == '\'') {
      std::size_t end = line.find('\'', at + 1);
      if (end == std::string_view::npos) return std::nullopt;
      word += line.substr(at + 1, end - at - 1);
      at = end;
    } else if (c == '"') {
      for (++at;; ++at) {
        if (at >= line.size()) return std::nullopt;
        if (line[at] == '"') break;
        // Inside double quotes a backslash quotes only these, as in a shell.
        if (line[at] == '\\' && at + 1 < line.size() && std::string_view("\"\\$`").find(line[at + 1]) != std::string_view::npos) {
          ++at;
        }
        word += line[at];
      }
    } else {
      word += c;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

std::string shellQuote(std::string_view word) {
  bool plain = !word.empty();
  for (char c : word) {
    plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || std::string_view("/._-+=:,@%").find(c) != std::string_view::npos);
  }
  if (plain) return std::string(word);
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string shellCommand(const std::vector<std::string>& words) {
  std::string command;
  for (const auto& word : words) {
    if (!command.empty()) command += ' ';
    command += shellQuote(word);
  }
  return command;
}

std::optional<BuildStamp> findBuildStamp(std::string_view image) {
  // The banner's strings as the compiler makes them: "Dec  7 2026", "21:11:29".
  static const std::regex date("[A-Z][a-z][a-z] [ 0-9][0-9] [0-9]{4}");
  static const std::regex time("[0-2][0-9]:[0-5][0-9]:[0-5][0-9]");
  std::optional<std::string> foundDate, foundTime;
  std::size_t at = 0;
  while (at < image.size() && !(foundDate && foundTime)) {
    std::size_t end = at;
    while (end < image.size() && image[end] >= 0x20 && image[end] < 0x7f) ++end;
    std::string text(image.substr(at, end - at));
    if (!foundDate && std::regex_match(text, date)) foundDate = text;
    if (!foundTime && std::regex_match(text, time)) foundTime = text;
    at = end + 1;
  }
  if (!foundDate || !foundTime) return std::nullopt;
  return BuildStamp{*foundDate, *foundTime};
}

}  // namespace sim
