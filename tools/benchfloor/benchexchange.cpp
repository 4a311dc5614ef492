//===- benchexchange.cpp - The floor of one request/reply exchange ---------===//
//
//   trqbenchexchange --host=H --port=P --count=M --command=C [--tls --ca-file=F]
//
// (H is resolved for each exchange; TLS checks the certificate for "localhost".)
// M request/reply exchanges with a test child, each on a connection of its
// own (one TLS context, with its trusted certificates, for all of them), as
// the service makes them but with nothing in between; prints the processor
// time of this process per exchange in microseconds. Linux only; a
// measuring tool of scripts/bench, not part of the service.
//
//===----------------------------------------------------------------------===//
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string option(int argc, char **argv, const char *name, const char *fallback = nullptr) {
  const std::string prefix = std::string("--") + name + "=";
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0)
      return argv[i] + prefix.size();
  if (!fallback) {
    std::fprintf(stderr, "trqbenchexchange: --%s=... is required\n", name);
    std::exit(2);
  }
  return fallback;
}

bool flag(int argc, char **argv, const char *name) {
  const std::string wanted = std::string("--") + name;
  for (int i = 1; i < argc; ++i)
    if (wanted == argv[i])
      return true;
  return false;
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int exchanges(int argc, char **argv) {
  const std::string host = option(argc, argv, "host", "127.0.0.1");
  const int port = std::atoi(option(argc, argv, "port").c_str());
  const int count = std::atoi(option(argc, argv, "count").c_str());
  const std::string command = option(argc, argv, "command");
  const bool tls = flag(argc, argv, "tls");
  SSL_CTX *context = nullptr;
  if (tls) {
    context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    if (!context || SSL_CTX_load_verify_locations(context, option(argc, argv, "ca-file").c_str(), nullptr) != 1) {
      std::fprintf(stderr, "trqbenchexchange: cannot set up TLS\n");
      return 2;
    }
  }
  const double start = cpuSeconds();
  int done = 0;
  for (int i = 0; i < count; ++i) {
    // Resolved for every exchange, as the service does: a name costs its
    // lookup each time.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
      std::fprintf(stderr, "trqbenchexchange: cannot resolve %s\n", host.c_str());
      return 1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int connected = fd < 0 ? -1 : connect(fd, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    if (connected != 0) {
      std::fprintf(stderr, "trqbenchexchange: connect failed: errno %d\n", errno);
      if (fd >= 0)
        close(fd);
      return 1;
    }
    char reply[256];
    bool ok = false;
    if (tls) {
      SSL *ssl = SSL_new(context);
      SSL_set_fd(ssl, fd);
      SSL_set1_host(ssl, "localhost");
      if (SSL_connect(ssl) == 1 && SSL_write(ssl, command.data(), static_cast<int>(command.size())) > 0)
        ok = SSL_read(ssl, reply, sizeof(reply)) > 0;
      SSL_shutdown(ssl);
      SSL_free(ssl);
    } else {
      if (send(fd, command.data(), command.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(command.size()))
        ok = recv(fd, reply, sizeof(reply), 0) > 0;
    }
    close(fd);
    done += ok ? 1 : 0;
  }
  const double used = cpuSeconds() - start;
  if (done != count) {
    std::fprintf(stderr, "trqbenchexchange: %d of %d exchanges answered\n", done, count);
    return 1;
  }
  std::printf("%.1f\n", used * 1e6 / count);
  if (context)
    SSL_CTX_free(context);
  return 0;
}

} // namespace

int main(int argc, char **argv) { return exchanges(argc, argv); }
