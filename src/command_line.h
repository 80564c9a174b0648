// The Windows command line split into arguments as the C runtime splits it
// for main(), on its UTF-8 form. Apart from the system so that every build
// can test it; Windows hands a program one line, not a list.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace simrelay {

// The arguments after the program's name.
std::vector<std::string> split_command_line(std::string_view line);

}  // namespace simrelay
