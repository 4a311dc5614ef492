//===- jovtls-posix.cpp - The JOV library's secure sessions, with OpenSSL -===//
//
// Every session verifies the peer: its certificate must chain to the system's
// trust store (or to the certificates of the file that JOV_CA_FILE names), and
// it must be issued for the URL's host name or IP address. The session talks
// to the socket through a small BIO of its own that sends with MSG_NOSIGNAL,
// because OpenSSL's socket BIO writes with write(), which raises SIGPIPE when
// the peer has gone. The context, with the trusted certificates, is loaded
// once per process and shared by every session.
//
//===----------------------------------------------------------------------===//
#include "../jovinternal.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <sys/socket.h>

namespace jov {

namespace {

//===--- The socket BIO ---------------------------------------------------===//

int socketOf(BIO *bio) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio))); }

int bioWrite(BIO *bio, const char *data, int length) {
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::send(socketOf(bio), data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n >= 0)
    return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK)
    BIO_set_retry_write(bio);
  return -1;
}

int bioRead(BIO *bio, char *buffer, int capacity) {
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::recv(socketOf(bio), buffer, static_cast<std::size_t>(capacity), 0);
  } while (n < 0 && errno == EINTR);
  if (n > 0)
    return static_cast<int>(n);
  if (n == 0) {
    // OpenSSL asks BIO_eof() to tell the peer's end of stream from a failure.
    BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
    return 0;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK)
    BIO_set_retry_read(bio);
  return -1;
}

long bioControl(BIO *bio, int command, long, void *) {
  switch (command) {
  case BIO_CTRL_FLUSH:
    return 1;
  case BIO_CTRL_EOF:
    return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
  default:
    return 0;
  }
}

int bioCreate(BIO *bio) {
  BIO_set_init(bio, 1);
  return 1;
}

int bioDestroy(BIO *) { return 1; }

/// The BIO method, made once and released when the library is unloaded.
class SocketBioMethod {
public:
  ~SocketBioMethod() {
    if (m_method)
      BIO_meth_free(m_method);
  }
  BIO_METHOD *get() {
    std::call_once(m_once, [this] {
      BIO_METHOD *method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "JOV socket");
      if (method && BIO_meth_set_write(method, bioWrite) && BIO_meth_set_read(method, bioRead) &&
          BIO_meth_set_ctrl(method, bioControl) && BIO_meth_set_create(method, bioCreate) &&
          BIO_meth_set_destroy(method, bioDestroy)) {
        m_method = method;
      } else if (method) {
        BIO_meth_free(method);
      }
    });
    return m_method;
  }

private:
  std::once_flag m_once;
  BIO_METHOD *m_method = nullptr;
};

SocketBioMethod g_bioMethod;

//===--- Errors -----------------------------------------------------------===//

/// OpenSSL's queued errors of this thread, oldest first, and clears them.
std::string takeOpenSslErrors() {
  std::string text;
  unsigned long error;
  while ((error = ERR_get_error()) != 0) {
    char buffer[256];
    ERR_error_string_n(error, buffer, sizeof(buffer));
    if (!text.empty())
      text += "; ";
    text += buffer;
  }
  return text;
}

bool isIpAddress(const std::string &host) {
  unsigned char address[16];
  return ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

//===--- The session ------------------------------------------------------===//

class OpenSslClient final : public TlsClient {
public:
  OpenSslClient(SSL_CTX *context, SSL *ssl, BIO *bio, SocketId socket)
      : m_context(context), m_ssl(ssl), m_bio(bio), m_socket(socket) {}
  ~OpenSslClient() override {
    SSL_free(m_ssl); // frees the BIO too
    SSL_CTX_free(m_context);
  }

  Step handshake(int waitMs, const std::atomic<bool> &cancel, Failure &failure) override {
    const uint64_t writtenBefore = BIO_number_written(m_bio);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
      ERR_clear_error();
      errno = 0;
      int rc = SSL_connect(m_ssl);
      if (rc == 1)
        return Step::Done;
      int error = SSL_get_error(m_ssl, rc);
      bool forWrite;
      if (error == SSL_ERROR_WANT_READ) {
        // Our flight is out: the next round trip belongs to the next call.
        if (BIO_number_written(m_bio) != writtenBefore)
          return Step::InProgress;
        forWrite = false;
      } else if (error == SSL_ERROR_WANT_WRITE) {
        forWrite = true;
      } else {
        failure = describeFailure(error, rc);
        return Step::Failed;
      }
      switch (waitReady(forWrite, deadline, cancel, failure)) {
      case 1:
        continue;
      case 0:
        failure = {JOV_E_TIMEOUT, "the server did not answer within " + std::to_string(waitMs / 1000) + " seconds"};
        return Step::Failed;
      default:
        return Step::Failed;
      }
    }
  }

  std::string protocol() const override { return SSL_get_version(m_ssl); }

  Io write(const char *data, std::size_t length, std::size_t &written, std::string &reason) override {
    ERR_clear_error();
    errno = 0;
    int rc = SSL_write(m_ssl, data, static_cast<int>(std::min<std::size_t>(length, INT_MAX)));
    if (rc > 0) {
      written = static_cast<std::size_t>(rc);
      return Io::Done;
    }
    return classify(rc, reason);
  }

  Io read(char *buffer, std::size_t capacity, std::size_t &received, std::string &reason) override {
    ERR_clear_error();
    errno = 0;
    int rc = SSL_read(m_ssl, buffer, static_cast<int>(std::min<std::size_t>(capacity, INT_MAX)));
    if (rc > 0) {
      received = static_cast<std::size_t>(rc);
      return Io::Done;
    }
    return classify(rc, reason);
  }

  bool hasBufferedData() override { return SSL_pending(m_ssl) > 0; }

  Io probe(std::string &reason) override {
    ERR_clear_error();
    errno = 0;
    char byte;
    int rc = SSL_peek(m_ssl, &byte, 1);
    if (rc > 0)
      return Io::Done;
    return classify(rc, reason);
  }

  void shutdown() override {
    ERR_clear_error();
    SSL_shutdown(m_ssl);
    ERR_clear_error();
  }

private:
  /// 1 ready, 0 timed out, -1 failed or cancelled (failure set).
  int waitReady(bool forWrite, Clock::time_point deadline, const std::atomic<bool> &cancel, Failure &failure) {
    for (;;) {
      if (cancel.load()) {
        failure = {JOV_E_CLOSED, "the handle was closed during the handshake"};
        return -1;
      }
      Clock::time_point now = Clock::now();
      if (now >= deadline)
        return 0;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
      std::vector<WaitEntry> entries(1);
      entries[0].socket = m_socket;
      entries[0].wantRead = !forWrite;
      entries[0].wantWrite = forWrite;
      std::string reason;
      int ready = waitSockets(entries, static_cast<int>(std::min<long long>(left + 1, kWaitSliceMs)), reason);
      if (ready < 0) {
        failure = {JOV_E_TLS, "waiting for the server failed: " + reason};
        return -1;
      }
      if (ready > 0)
        return 1;
    }
  }

  Io classify(int rc, std::string &reason) {
    int error = SSL_get_error(m_ssl, rc);
    switch (error) {
    case SSL_ERROR_WANT_READ:
      return Io::WantRead;
    case SSL_ERROR_WANT_WRITE:
      return Io::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
      return Io::Closed;
    case SSL_ERROR_SYSCALL:
      // The connection ended without the peer's close-notify: a stream cut
      // short, never a clean end.
      if (errno == 0 && ERR_peek_error() == 0) {
        reason = "the peer ended the connection without closing the secured session";
        return Io::Failed;
      }
      reason = errno != 0 ? socketErrorText(errno) : takeOpenSslErrors();
      ERR_clear_error();
      return Io::Failed;
    default:
#ifdef SSL_R_UNEXPECTED_EOF_WHILE_READING
      if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        reason = "the peer ended the connection without closing the secured session";
        return Io::Failed;
      }
#endif
      reason = takeOpenSslErrors();
      if (reason.empty())
        reason = "TLS error " + std::to_string(error);
      return Io::Failed;
    }
  }

  Failure describeFailure(int error, int rc) {
    long verify = SSL_get_verify_result(m_ssl);
    if (verify != X509_V_OK) {
      ERR_clear_error();
      return {JOV_E_VERIFY, std::string("the server's certificate was not accepted: ") +
                                X509_verify_cert_error_string(verify) + " (X509 verify error " +
                                std::to_string(verify) + ")"};
    }
    if (error == SSL_ERROR_SYSCALL) {
      int code = errno;
      std::string queued = takeOpenSslErrors();
      if (code != 0)
        return {JOV_E_TLS, socketErrorText(code)};
      if (!queued.empty())
        return {JOV_E_TLS, queued};
      return {JOV_E_TLS, rc == 0 ? "the server closed the connection during the handshake"
                                 : "the connection broke during the handshake"};
    }
    std::string queued = takeOpenSslErrors();
    if (error == SSL_ERROR_ZERO_RETURN)
      return {JOV_E_TLS, "the server ended the session during the handshake"};
    return {JOV_E_TLS, queued.empty() ? "TLS error " + std::to_string(error) : queued};
  }

  SSL_CTX *m_context;
  SSL *m_ssl;
  BIO *m_bio;
  SocketId m_socket;
};

} // namespace

namespace {

/// The context of every session: protocol settings and trusted certificates,
/// loaded once per process (again only when JOV_CA_FILE changes).
class SharedContext {
public:
  ~SharedContext() {
    if (m_context)
      SSL_CTX_free(m_context);
  }
  /// A reference to the context for `caFile` ("": the system's store).
  SSL_CTX *take(const std::string &caFile) {
    if (!m_context || m_caFile != caFile)
      return nullptr;
    SSL_CTX_up_ref(m_context);
    return m_context;
  }
  void keep(SSL_CTX *context, const std::string &caFile) {
    SSL_CTX_up_ref(context);
    if (m_context)
      SSL_CTX_free(m_context);
    m_context = context;
    m_caFile = caFile;
  }

private:
  SSL_CTX *m_context = nullptr;
  std::string m_caFile;
};

std::mutex g_contextLock;

/// The holder is made after OpenSSL has started, so that it is destroyed
/// before OpenSSL's own clean-up at exit.
SharedContext &sharedContext() {
  static SharedContext holder;
  return holder;
}

} // namespace

bool tlsAvailable(Failure &) { return true; }

std::unique_ptr<TlsClient> createTlsClient(SocketId socket, const std::string &host, Failure &failure) {
  ERR_clear_error();
  auto fail = [&failure](const std::string &what) {
    std::string queued = takeOpenSslErrors();
    failure = {JOV_E_TLS, what + (queued.empty() ? "" : ": " + queued)};
    return nullptr;
  };
  BIO_METHOD *method = g_bioMethod.get();
  if (!method)
    return fail("cannot prepare the socket BIO");
  const char *caValue = std::getenv("JOV_CA_FILE");
  const std::string caFile = caValue ? caValue : "";
  SSL_CTX *context = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_contextLock);
    context = sharedContext().take(caFile);
    if (!context) {
      context = SSL_CTX_new(TLS_client_method());
      if (!context)
        return fail("cannot create the TLS context");
      SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
      SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
      SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
      if (!caFile.empty()) {
        if (SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
          SSL_CTX_free(context);
          return fail("cannot load the trusted certificates of JOV_CA_FILE \"" + caFile + "\"");
        }
      } else if (SSL_CTX_set_default_verify_paths(context) != 1) {
        SSL_CTX_free(context);
        return fail("cannot load the system's trusted certificates");
      }
      sharedContext().keep(context, caFile);
    }
  }
  SSL *ssl = SSL_new(context);
  if (!ssl) {
    SSL_CTX_free(context);
    return fail("cannot create the TLS session");
  }
  bool named;
  if (isIpAddress(host)) {
    named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
  } else {
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    named = SSL_set1_host(ssl, host.c_str()) == 1 && SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
  }
  if (!named) {
    SSL_free(ssl);
    SSL_CTX_free(context);
    return fail("cannot set the expected host \"" + host + "\"");
  }
  BIO *bio = BIO_new(method);
  if (!bio) {
    SSL_free(ssl);
    SSL_CTX_free(context);
    return fail("cannot create the socket BIO");
  }
  BIO_set_data(bio, reinterpret_cast<void *>(socket));
  SSL_set_bio(ssl, bio, bio);
  SSL_set_connect_state(ssl);
  return std::make_unique<OpenSslClient>(context, ssl, bio, socket);
}

} // namespace jov
