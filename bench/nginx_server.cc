#include "nginx_server.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "loopback.h"
#include "platform.h"
#include "sockets.h"

extern char** environ;

namespace simrelay::bench {
namespace {

constexpr std::chrono::milliseconds START_TIMEOUT{3000};

std::string find_nginx() {
  for (const char* path : {"/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/bin/nginx"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return "";
}

std::string first_line_of(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

void replace_all(std::string& text, std::string_view placeholder, std::string_view value) {
  for (std::size_t at; (at = text.find(placeholder)) != std::string::npos;)
    text.replace(at, placeholder.size(), value);
}

}  // namespace

std::string nginx_config(const std::string& directory, std::uint16_t port, std::string_view body) {
  // One process that serves by itself, as the bridge is one process; no log
  // line per request. keepalive_timeout 0 closes the connection after each
  // answer and says "Connection: close".
  std::string config = R"(daemon off;
master_process off;
worker_processes 1;
pid @DIR@/nginx.pid;
error_log @DIR@/error.log error;
events { worker_connections 8192; }
http {
  access_log off;
  server_tokens off;
  keepalive_timeout 0;
  client_body_temp_path @DIR@/body;
  server {
    listen 127.0.0.1:@PORT@ backlog=128;
    location = /state {
      default_type application/json;
      add_header Access-Control-Allow-Origin "*" always;
      add_header Access-Control-Allow-Methods "GET, OPTIONS" always;
      add_header Access-Control-Allow-Headers "*" always;
      add_header Access-Control-Allow-Private-Network "true" always;
      return 200 '@BODY@';
    }
  }
}
)";
  replace_all(config, "@DIR@", directory);
  replace_all(config, "@PORT@", std::to_string(port));
  replace_all(config, "@BODY@", body);
  return config;
}

std::unique_ptr<NginxServer> NginxServer::start(std::string_view body, std::string& why) {
  std::string binary = find_nginx();
  if (binary.empty()) {
    why = "nginx not installed (Debian: nginx-light)";
    return nullptr;
  }
  std::optional<std::uint16_t> port = support::free_tcp_port();
  std::string pattern = (std::filesystem::temp_directory_path() / "simrelay-nginx-XXXXXX").string();
  if (!port || ::mkdtemp(pattern.data()) == nullptr) {
    why = "no free port or temporary directory for nginx";
    return nullptr;
  }
  std::unique_ptr<NginxServer> server(new NginxServer());
  server->directory_ = pattern;
  server->port_ = *port;
  std::string config = pattern + "/nginx.conf";
  std::ofstream(config) << nginx_config(pattern, *port, body);

  std::string error_log = pattern + "/error.log";
  const char* arguments[] = {binary.c_str(),    "-p", pattern.c_str(), "-e",
                             error_log.c_str(), "-c", config.c_str(),  nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, binary.c_str(), nullptr, nullptr, const_cast<char**>(arguments), environ) !=
      0) {
    why = "nginx could not be started";
    return nullptr;
  }
  server->pid_ = pid;
  auto deadline = std::chrono::steady_clock::now() + START_TIMEOUT;
  while (std::chrono::steady_clock::now() < deadline) {
    if (connect_tcp({{127, 0, 0, 1}, *port}).socket.valid()) return server;
    if (::waitpid(pid, nullptr, WNOHANG) == pid) {
      server->pid_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  why = "nginx did not start: " + first_line_of(error_log);
  return nullptr;
}

NginxServer::~NginxServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

}  // namespace simrelay::bench
