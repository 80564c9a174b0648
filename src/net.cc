// Portable helpers on top of the platform seam.
#include "platform.h"

namespace simrelay {

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.release();
  }
  return *this;
}

NativeSocket Socket::release() {
  NativeSocket handle = handle_;
  handle_ = INVALID;
  return handle;
}

std::string to_string(const Ipv4Endpoint& endpoint) {
  std::string text;
  for (std::size_t i = 0; i < endpoint.address.size(); ++i) {
    if (i > 0) text += '.';
    text += std::to_string(endpoint.address[i]);
  }
  return text + ':' + std::to_string(endpoint.port);
}

}  // namespace simrelay
