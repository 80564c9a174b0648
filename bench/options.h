// The bench's command line: a command, then "--name value" options and
// "--flag" switches.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace simrelay::bench {

class Options {
 public:
  // Nothing when an option lacks its value or is not known.
  static std::optional<Options> parse(const std::vector<std::string>& arguments);

  const std::string& command() const { return command_; }
  std::string text(const std::string& name, const std::string& fallback) const;
  std::optional<std::uint64_t> number(const std::string& name) const;
  std::uint64_t number(const std::string& name, std::uint64_t fallback) const;
  bool flag(const std::string& name) const { return flags_.count(name) > 0; }

 private:
  std::string command_;
  std::map<std::string, std::string> values_;
  std::map<std::string, bool> flags_;
};

extern const char* const USAGE;

}  // namespace simrelay::bench
