// The answers that are complete in one go. Each goes out piece by piece in
// wire order, as one gathered write; a failed send abandons the rest.
#include <charconv>

#include "http.h"

namespace simrelay {
namespace {

constexpr std::string_view STATUS_OK = "HTTP/1.1 200 OK\r\n";
// Each of these answers is the connection's last; clients that would send
// the next request on it must hear so (RFC 9112, 9.6).
constexpr std::string_view CONNECTION_CLOSE = "Connection: close\r\n";

void write_answer(const Socket& connection, std::string_view content_type, std::string_view body) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, body.size()).ptr;
  const std::string_view pieces[] = {
      STATUS_OK,
      CORS_HEADERS,
      CONNECTION_CLOSE,
      content_type,
      "Content-Length: ",
      std::string_view(digits, static_cast<std::size_t>(end - digits)),
      "\r\n",
      "\r\n",
      body,
  };
  send_all(connection, pieces);  // A vanished client ends the answer; nothing to report.
}

}  // namespace

void write_status_page(const Socket& connection) {
  write_answer(connection, "Content-Type: text/plain; charset=utf-8\r\n", STATUS_BODY);
}

void write_snapshot(const Socket& connection, FlightState& state) {
  std::string snapshot = state.snapshot_json();
  write_answer(connection, "Content-Type: application/json\r\n", snapshot);
}

void write_preflight(const Socket& connection) {
  const std::string_view pieces[] = {
      "HTTP/1.1 204 No Content\r\n", CORS_HEADERS, CONNECTION_CLOSE,
      "Content-Length: 0\r\n",       "\r\n",
  };
  send_all(connection, pieces);
}

std::string stream_header() {
  std::string header;
  header.append(STATUS_OK)
      .append(CORS_HEADERS)
      .append("Content-Type: text/event-stream\r\n")
      .append("Cache-Control: no-cache\r\n")
      .append("Connection: keep-alive\r\n")
      .append("\r\n")
      .append("retry: 2000\n\n");
  return header;
}

}  // namespace simrelay
