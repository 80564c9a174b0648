#include "command_line.h"

#include <cstddef>

namespace simrelay {
namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// The program's name ends at the first blank outside double quotes;
// backslashes are path separators there, never escapes.
std::size_t skip_program_name(std::string_view line) {
  bool quoted = false;
  std::size_t i = 0;
  for (; i < line.size() && (quoted || !is_blank(line[i])); ++i) {
    if (line[i] == '"') quoted = !quoted;
  }
  return i;
}

// One argument from `i` on, which must not be blank. Blanks end it outside
// double quotes; quotes group and are dropped, and "" inside quotes is one
// literal quote, the quotes going on. Backslashes count only before a
// quote: 2n of them give n and the quote groups, 2n+1 give n and a literal
// quote. The multibyte sequences of UTF-8 never hold these ASCII bytes, so
// they pass unchanged.
std::string take_argument(std::string_view line, std::size_t& i) {
  std::string argument;
  bool quoted = false;
  while (i < line.size() && (quoted || !is_blank(line[i]))) {
    std::size_t backslashes = 0;
    while (i < line.size() && line[i] == '\\') {
      ++backslashes;
      ++i;
    }
    if (i == line.size() || line[i] != '"') {
      argument.append(backslashes, '\\');
      if (backslashes == 0) argument += line[i++];
      continue;
    }
    argument.append(backslashes / 2, '\\');
    if (backslashes % 2 == 1) {
      argument += '"';
    } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
      argument += '"';
      ++i;
    } else {
      quoted = !quoted;
    }
    ++i;
  }
  return argument;
}

}  // namespace

std::vector<std::string> split_command_line(std::string_view line) {
  std::vector<std::string> arguments;
  std::size_t i = skip_program_name(line);
  for (;;) {
    while (i < line.size() && is_blank(line[i]))
      ++i;
    if (i == line.size()) return arguments;
    arguments.push_back(take_argument(line, i));
  }
}

}  // namespace simrelay
