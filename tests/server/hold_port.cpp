// Holds a loopback TCP port that nobody listens on: binds 127.0.0.1 to a
// port the system picks, prints the port, and keeps it until stdin closes.
// A connection to it is refused, and no other process can take the port
// meanwhile, as one freed by a stopped server could be.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

int main() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::perror("hold-port");
    return 1;
  }
  std::printf("%u\n", ntohs(addr.sin_port));
  std::fflush(stdout);
  char c;
  while (::read(0, &c, 1) > 0) {
  }
  return 0;
}
