// One accepted connection: one request, one answer, then the close.
#include "http.h"

namespace simrelay {

void serve_connection(Socket connection, SharedFlightState state) {
  set_receive_timeout(connection, REQUEST_READ_TIMEOUT_MS);  // On failure reads just wait.
  // Reading is buffered in our own reader; answers go straight to the socket.
  SocketSource source(connection);
  std::optional<std::string> request_line = read_request_head(source);
  if (!request_line) return;  // Closed without an answer.
  switch (route_request_line(*request_line)) {
    case Route::Preflight:
      write_preflight(connection);
      break;
    case Route::Snapshot:
      write_snapshot(connection, *state);
      break;
    case Route::EventStream:
      stream_events(connection, *state);
      break;
    case Route::StatusPage:
      write_status_page(connection);
      break;
  }
  state.reset();
}

}  // namespace simrelay
