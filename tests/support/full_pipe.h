// A pipe filled to capacity and read by nobody until the test drains it,
// for a bridge's standard output or error: a console that takes nothing.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bridge_process.h"

namespace simrelay::support {

class FullPipe {
 public:
  FullPipe() {
    char dir[] = "/tmp/simrelay-pipe-XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    path_ = std::string(dir) + "/fifo";
    // Held open for reading and writing, the pipe opens at once for the bridge.
    if (mkfifo(path_.c_str(), 0600) != 0) std::abort();
    fd_ = open(path_.c_str(), O_RDWR | O_NONBLOCK);
    std::string block(4096, '.');
    while (write(fd_, block.data(), block.size()) > 0) {
    }
    while (write(fd_, ".", 1) > 0) {
    }
  }
  ~FullPipe() {
    close(fd_);
    unlink(path_.c_str());
    rmdir(path_.substr(0, path_.rfind('/')).c_str());
  }
  FullPipe(const FullPipe&) = delete;
  FullPipe& operator=(const FullPipe&) = delete;

  // A BridgeProcess wrapper that points the bridge's descriptor `fd`
  // (1: standard output, 2: standard error) at the pipe.
  std::vector<std::string> wrapper(int fd = 1) const {
    return {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + std::to_string(fd) + ">" + path_};
  }
  // Drains the pipe until `lines` whole lines have come after the filler.
  std::string drain_lines(std::size_t lines, milliseconds timeout) {
    std::string text;
    char buffer[4096];
    for (auto deadline = Clock::now() + timeout;
         Clock::now() < deadline && std::count(text.begin(), text.end(), '\n') < long(lines);) {
      ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
      } else {
        std::this_thread::sleep_for(milliseconds(20));
      }
    }
    return text.substr(std::min(text.find_first_not_of('.'), text.size()));
  }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace simrelay::support
