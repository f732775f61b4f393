// The display probe of the interactive mode: is there an X server or a
// Wayland compositor that would show windows and deliver clicks and keys?
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "io/console.hpp"

namespace {

// How long the probe may wait for a remote X server.
constexpr int kConnectTimeoutMs = 2000;
constexpr int kFirstXTcpPort = 6000;

bool ConnectUnixSocket(const std::string& path, bool abstractName) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t offset = abstractName ? 1 : 0;  // abstract names start with '\0'
  if (path.empty() || path.size() + offset >= sizeof(address.sun_path))
    return false;
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  const socklen_t length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
  close(fd);
  return connected;
}

bool ConnectTcpWithTimeout(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
    return false;
  bool connected = false;
  for (addrinfo* a = found; a != nullptr && !connected; a = a->ai_next) {
    const int fd =
        socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0)
      continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      connected = true;
    } else if (errno == EINPROGRESS) {
      pollfd pfd{fd, POLLOUT, 0};
      int error = 0;
      socklen_t errorLength = sizeof(error);
      connected = poll(&pfd, 1, kConnectTimeoutMs) == 1 &&
                  getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) == 0 && error == 0;
    }
    close(fd);
  }
  freeaddrinfo(found);
  return connected;
}

// DISPLAY is [host]:number[.screen]; a local display (no host, or "unix")
// is served on /tmp/.X11-unix/X<number>, as an abstract or a file socket.
bool XServerReachable(const char* display) {
  if (display == nullptr || display[0] == '\0')
    return false;
  const std::string value(display);
  const size_t colon = value.rfind(':');
  if (colon == std::string::npos)
    return false;
  const std::string host = value.substr(0, colon);
  const std::string rest = value.substr(colon + 1);
  if (!host.empty() && host[0] == '/')
    return ConnectUnixSocket(host, false);
  char* end = nullptr;
  const long number = std::strtol(rest.c_str(), &end, 10);
  if (end == rest.c_str() || number < 0 || (*end != '\0' && *end != '.'))
    return false;
  if (host.empty() || host == "unix") {
    const std::string socketPath = "/tmp/.X11-unix/X" + std::to_string(number);
    return ConnectUnixSocket(socketPath, true) || ConnectUnixSocket(socketPath, false);
  }
  return ConnectTcpWithTimeout(host, kFirstXTcpPort + static_cast<int>(number));
}

bool WaylandCompositorReachable() {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  if (name == nullptr || name[0] == '\0')
    return false;
  if (name[0] == '/')
    return ConnectUnixSocket(name, false);
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDir == nullptr || runtimeDir[0] == '\0')
    return false;
  return ConnectUnixSocket(std::string(runtimeDir) + "/" + name, false);
}

bool EnvironmentContains(const char* variable, const char* word) {
  const char* value = std::getenv(variable);
  return value != nullptr && std::strstr(value, word) != nullptr;
}

}  // namespace

// True when windows can be shown and can receive clicks and keys. Qt's
// off-screen platforms draw nothing and deliver no input, so a key wait
// there would never end.
bool console::InteractiveDisplayAvailable() {
  if (EnvironmentContains("QT_QPA_PLATFORM", "offscreen") ||
      EnvironmentContains("QT_QPA_PLATFORM", "minimal")) {
    return false;
  }
  if (XServerReachable(std::getenv("DISPLAY")))
    return true;
  const bool qtChoosesWayland = EnvironmentContains("QT_QPA_PLATFORM", "wayland") ||
                                EnvironmentContains("XDG_SESSION_TYPE", "wayland");
  return qtChoosesWayland && WaylandCompositorReachable();
}
