// The platform seam's system calls on Windows: Winsock 2, the Unicode
// console and the wide command line.
#include "platform.h"

// winsock2.h must come before every other Windows header.
#include <winsock2.h>

#include <mswsock.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <process.h>
#include <stdlib.h>
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <cwctype>

#include "command_line.h"
#include "console.h"
#include "platform_os.h"

namespace simrelay {
namespace {

SOCKET handle_of(const Socket& socket) {
  return static_cast<SOCKET>(socket.native());
}

// Winsock takes lengths as int; nothing here comes near that limit, but a
// clamp keeps an oversized span from turning negative.
int clamped_length(std::size_t size) {
  return static_cast<int>(std::min<std::size_t>(size, INT_MAX));
}

// Windows reports the ICMP port-unreachable that follows a datagram to a
// closed port (X-Plane not running) as a failed receive on the next
// recvfrom. The bridge learns nothing from it, so switch it off as Linux
// has it; a failure leaves it on, and receives then just fail once more.
void ignore_udp_resets(SOCKET handle) {
  BOOL report = FALSE;
  DWORD returned = 0;
  WSAIoctl(handle, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
           nullptr);
}

std::wstring to_utf16(std::string_view text) {
  if (text.empty()) return {};
  int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), clamped_length(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
  if (length > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), clamped_length(text.size()), wide.data(), length);
  }
  return wide;
}

std::string to_utf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), clamped_length(wide.size()), nullptr, 0,
                                   nullptr, nullptr);
  std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
  if (length > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), clamped_length(wide.size()), text.data(), length,
                        nullptr, nullptr);
  }
  return text;
}

// A console window, as opposed to a file or pipe that standard streams may
// be redirected to (both can be FILE_TYPE_CHAR: NUL is one too).
bool is_console(HANDLE handle) {
  DWORD mode;
  return GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode);
}

void write_console(HANDLE console, std::string_view text) {
  std::wstring wide = to_utf16(text);
  std::wstring_view rest = wide;
  while (!rest.empty()) {
    DWORD written = 0;
    if (!WriteConsoleW(console, rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr) ||
        written == 0) {
      return;
    }
    rest.remove_prefix(written);
  }
}

void write_bytes(HANDLE file, std::string_view text) {
  while (!text.empty()) {
    DWORD written = 0;
    if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written == 0) {
      return;  // Nowhere to write to: the message is lost, the bridge goes on.
    }
    text.remove_prefix(written);
  }
}

void write_line_to(DWORD stream, std::string_view line) {
  HANDLE handle = GetStdHandle(stream);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;  // No console at all.
  std::string text;
  text.reserve(line.size() + 1);
  text.append(line).push_back('\n');
  if (is_console(handle)) {
    write_console(handle, text);
  } else {
    write_bytes(handle, text);
  }
}

void discard_console_line(HANDLE console) {
  // A long line comes in several reads.
  wchar_t buffer[256];
  for (;;) {
    DWORD read = 0;
    if (!ReadConsoleW(console, buffer, 256, &read, nullptr) || read == 0) return;
    if (console_read_ends_line(std::wstring_view(buffer, read))) return;
  }
}

void discard_file_line(HANDLE file) {
  // One byte at a time, so nothing after the line is taken from a pipe.
  char byte;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, &byte, 1, &read, nullptr) || read == 0 || byte == '\n') return;
  }
}

// What runs when a console event ends the process; set once.
std::atomic<void (*)()> ending{nullptr};

// Runs on a thread of its own that the system starts for the event. FALSE
// passes the event on to the default handler, which ends the process as
// before; a closing window allows a few seconds, sendto needs far less.
BOOL WINAPI end_on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      ending.load()();
      break;
  }
  return FALSE;
}

struct ThreadStart {
  ThreadBody body;
  void* context;
};

unsigned __stdcall run_thread(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  start.body(start.context);
  return 0;
}

}  // namespace

void Socket::close() {
  if (valid()) ::closesocket(static_cast<SOCKET>(release()));
}

void platform_init() {
  // Tests may call this more than once; Winsock counts its start-ups, so
  // only the first one is made.
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;  // Without Winsock every socket call fails and says so.
}

std::vector<std::string> command_line_arguments(int, char**) {
  // The narrow argv is in the ANSI code page, which cannot hold every
  // name; the wide command line can. Splitting it here rather than with
  // CommandLineToArgvW keeps SHELL32, and with it USER32, out of the
  // process: a console program that loads USER32 gets no log-off and no
  // shut-down event in its console control handler.
  return split_command_line(to_utf8(GetCommandLineW()));
}

std::string os_error_text(int code) {
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (length > 0 && buffer != nullptr) {
    std::wstring_view message(buffer, length);
    // System messages end in "\r\n"; the period before it stays.
    while (!message.empty() && iswspace(message.back()))
      message.remove_suffix(1);
    text = to_utf8(message);
  }
  if (buffer != nullptr) LocalFree(buffer);
  if (text.empty()) text = "Unknown error " + std::to_string(code);
  return text + " (os error " + std::to_string(code) + ")";
}

Socket accept_connection(const Socket& listener) {
  SOCKET handle = ::accept(handle_of(listener), nullptr, nullptr);
  if (handle != INVALID_SOCKET) return Socket(static_cast<NativeSocket>(handle));
  // Out of sockets or buffer space, the pending connection stays queued and
  // the next accept would fail at once: pause briefly instead of spinning.
  int error = WSAGetLastError();
  if (error == WSAEMFILE || error == WSAENOBUFS) Sleep(10);
  return Socket();
}

bool set_no_delay(const Socket& socket) {
  BOOL on = TRUE;
  return ::setsockopt(handle_of(socket), IPPROTO_TCP, TCP_NODELAY,
                      reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

long receive_some(const Socket& socket, std::span<char> buffer) {
  int n = ::recv(handle_of(socket), buffer.data(), clamped_length(buffer.size()), 0);
  return n == SOCKET_ERROR ? -1 : static_cast<long>(n);
}

std::optional<std::size_t> receive_datagram(const Socket& socket, std::span<char> buffer,
                                            Ipv4Endpoint* sender) {
  sockaddr_in from{};
  int from_length = sizeof from;
  // A longer datagram fails with WSAEMSGSIZE after filling the buffer with
  // its first part; like a time-out or any other error, it counts as no
  // datagram at all.
  int n = ::recvfrom(handle_of(socket), buffer.data(), clamped_length(buffer.size()), 0,
                     reinterpret_cast<sockaddr*>(&from), &from_length);
  if (n == SOCKET_ERROR) return std::nullopt;
  if (sender != nullptr) *sender = from_sockaddr(from);
  return static_cast<std::size_t>(n);
}

bool send_datagram(const Socket& socket, const Ipv4Endpoint& to, std::span<const char> bytes) {
  sockaddr_in address = to_sockaddr(to);
  return ::sendto(handle_of(socket), bytes.data(), clamped_length(bytes.size()), 0,
                  reinterpret_cast<sockaddr*>(&address),
                  sizeof address) == static_cast<int>(bytes.size());
}

std::vector<std::array<std::uint8_t, 4>> resolve_ipv4_addresses(const std::string& host) {
  std::vector<std::array<std::uint8_t, 4>> found;
  // To GetAddrInfoW an empty name means this machine's own addresses; to
  // getaddrinfo, and to the user, it names no host.
  if (host.empty()) return found;
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* list = nullptr;
  std::wstring wide_host = to_utf16(host);
  if (GetAddrInfoW(wide_host.c_str(), nullptr, &hints, &list) != 0) return found;
  for (ADDRINFOW* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET) continue;
    found.push_back(from_sockaddr(*reinterpret_cast<sockaddr_in*>(entry->ai_addr)).address);
  }
  FreeAddrInfoW(list);
  return found;
}

void allow_late_wakeups(std::uint32_t) {
  // Sleeps here end at the system's timer tick (about 15.6 ms) anyway.
}

int start_raw_thread(ThreadBody body, void* context) {
  // Every thread here is small: a receive loop or one connection. Reserving
  // a modest stack keeps a thousand open streams cheap in address space.
  constexpr unsigned STACK_RESERVE = 256 * 1024;
  auto* start = new ThreadStart{body, context};
  // Through the C runtime, not CreateThread: every thread here allocates
  // and some write to the console, and a thread the runtime does not know
  // may end the process when memory runs low.
  auto thread = _beginthreadex(nullptr, STACK_RESERVE, run_thread, start,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == 0) {
    int error = static_cast<int>(_doserrno);  // The system's code, not errno's.
    delete start;
    return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
  }
  // Detached: nobody waits for it. The runtime hands the handle over as an
  // integer.
  CloseHandle(reinterpret_cast<HANDLE>(thread));  // NOLINT(performance-no-int-to-ptr)
  return 0;
}

void write_stdout_line(std::string_view line) {
  write_line_to(STD_OUTPUT_HANDLE, line);
}

void write_stderr_line(std::string_view line) {
  write_line_to(STD_ERROR_HANDLE, line);
}

void discard_stdin_line() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return;  // No input: end of input.
  if (is_console(input)) {
    discard_console_line(input);
  } else {
    discard_file_line(input);
  }
}

namespace os {

SocketResult open_socket(SocketKind kind) {
  SOCKET handle = ::socket(AF_INET, kind == SocketKind::Datagram ? SOCK_DGRAM : SOCK_STREAM, 0);
  if (handle == INVALID_SOCKET) return {Socket(), WSAGetLastError()};
  if (kind == SocketKind::Datagram) ignore_udp_resets(handle);
  return {Socket(static_cast<NativeSocket>(handle)), 0};
}

int prepare_listener(const Socket&) {
  // No option at all. Bound like this, the port of a listening socket is
  // refused to a second socket (WSAEADDRINUSE; WSAEACCES to one that asks
  // for SO_REUSEADDR), while connections closed by an earlier run do not
  // hold it. SO_REUSEADDR would let a second copy share the port, and
  // SO_EXCLUSIVEADDRUSE keeps the port until every connection the previous
  // listener accepted has gone, which blocks a restart.
  return 0;
}

int bind_to(const Socket& socket, const Ipv4Endpoint& local) {
  sockaddr_in address = to_sockaddr(local);
  return ::bind(handle_of(socket), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
             ? 0
             : WSAGetLastError();
}

// Winsock takes both time-outs as a DWORD of milliseconds.
bool set_timeout(const Socket& socket, TimeoutKind kind, std::uint32_t milliseconds) {
  DWORD value = milliseconds;
  int option = kind == TimeoutKind::Receive ? SO_RCVTIMEO : SO_SNDTIMEO;
  return ::setsockopt(handle_of(socket), SOL_SOCKET, option, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
}

int listen_on(const Socket& socket, int backlog) {
  return ::listen(handle_of(socket), backlog) == 0 ? 0 : WSAGetLastError();
}

SendAttempt send_gathered(const Socket& socket, std::span<const std::string_view> pieces) {
  WSABUF buffers[MAX_SEND_PIECES];
  std::size_t count = std::min(pieces.size(), MAX_SEND_PIECES);
  for (std::size_t i = 0; i < count; ++i) {
    if (pieces[i].size() > ULONG_MAX) return {-1, false};
    buffers[i] = {static_cast<ULONG>(pieces[i].size()), const_cast<char*>(pieces[i].data())};
  }
  DWORD sent = 0;
  if (WSASend(handle_of(socket), buffers, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) !=
      0) {
    return {-1, false};
  }
  return {static_cast<long>(sent), false};
}

void run_at_ending(void (*ending_first)()) {
  ending.store(ending_first);
  SetConsoleCtrlHandler(end_on_console_event, TRUE);
}

void end_process(int status) {
  ExitProcess(static_cast<UINT>(status));
}

}  // namespace os

}  // namespace simrelay
