// velfloor: the floor of the machine for the web benchmarks. A bare
// accept-read-write-close loop that answers every connection with the bytes of one
// file, once the request's blank line has arrived. Nothing else: no parsing, no
// files opened per request, one thread.
//
//   velfloor --port P --file F
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
  int port = 0;
  std::string file;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--port"))
      port = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--file"))
      file = argv[i + 1];
  }
  std::ifstream in(file, std::ios::binary);
  if (!port || !in) {
    std::fprintf(stderr, "usage: velfloor --port P --file F\n");
    return 2;
  }
  std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  int ls = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(ls, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(ls, 128) != 0) {
    std::perror("velfloor");
    return 1;
  }
  char buf[8192];
  for (;;) {
    int fd = ::accept(ls, nullptr, nullptr);
    if (fd < 0) continue;
    std::string req;
    for (;;) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      req.append(buf, static_cast<size_t>(n));
      if (req.find("\r\n\r\n") != std::string::npos) break;
    }
    size_t sent = 0;
    while (sent < body.size()) {
      ssize_t n = ::send(fd, body.data() + sent, body.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ::close(fd);
  }
}
