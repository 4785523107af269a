#pragma once
// A GET over plain Winsock to 127.0.0.1, as a scraper sends it, read to the server's close:
// the status, the header lines and the body. A server that never answers fails the GET
// after the patience instead of hanging the test.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <string>

namespace tarnwell::wintest {

struct HttpReply {
  int status = 0;       // 0: no answer; error says why
  std::string headers;  // from the status line to the blank line, CRLFs kept
  std::string body;
  std::string error;
};

inline HttpReply HttpGet(unsigned short port, const std::string& path, const std::string& host = "127.0.0.1") {
  HttpReply reply;
  WSADATA wsa;
  if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
    reply.error = "WSAStartup";
    return reply;
  }
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const DWORD patienceMs = 60000;
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&patienceMs), sizeof patienceMs);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string text;
  if (s == INVALID_SOCKET || ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    reply.error = "connect: " + std::to_string(::WSAGetLastError());
  } else {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) +
                                "\r\nConnection: close\r\n\r\n";
    ::send(s, request.data(), static_cast<int>(request.size()), 0);
    // Read until the body is as long as its Content-Length says, or the server closes.
    char chunk[4096];
    for (;;) {
      const int n = ::recv(s, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      text.append(chunk, static_cast<std::size_t>(n));
      const std::size_t end = text.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      const std::size_t length = text.find("Content-Length: ");
      if (length != std::string::npos && length < end &&
          text.size() - end - 4 >= std::stoul(text.substr(length + 16))) {
        break;
      }
    }
  }
  if (s != INVALID_SOCKET) ::closesocket(s);
  ::WSACleanup();
  const std::size_t end = text.find("\r\n\r\n");
  if (end == std::string::npos) {
    if (reply.error.empty()) reply.error = "no whole answer: [" + text + "]";
    return reply;
  }
  reply.headers = text.substr(0, end + 2);
  reply.body = text.substr(end + 4);
  std::sscanf(reply.headers.c_str(), "HTTP/%*d.%*d %d", &reply.status);
  return reply;
}

// A loopback port nobody listens on now.
inline unsigned short FreeLoopbackPort() {
  WSADATA wsa;
  if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 0;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  unsigned short port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  ::closesocket(s);
  ::WSACleanup();
  return port;
}

}  // namespace tarnwell::wintest
