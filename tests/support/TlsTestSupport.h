//===- TlsTestSupport.h - Certificates and TLS servers for the suites ------===//
//
// The secured suites of both builds talk to the Linux build's test child,
// which serves TLS with OpenSSL, and trust a test authority that the openssl
// command makes. Under Wine the test starts those Linux programs itself
// (Wine runs a Linux executable that a Windows program starts); their paths
// are converted between the two systems' forms.
//
//===----------------------------------------------------------------------===//
#ifndef TLSTESTSUPPORT_H
#define TLSTESTSUPPORT_H

#include "TestSupport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tlstest {

/// Why this system cannot run the TLS servers, or "" when it can (Linux,
/// and Windows under Wine).
std::string cannotServeTls();
/// True in the Windows build running under Wine, whose SChannel offers
/// TLS 1.2 at most.
bool underWine();

/// Runs `script` with the Linux shell and waits (bounded) for its end; false
/// with `error` set when it fails.
bool runShell(const std::string &script, std::string &error);

/// An authority, a server certificate for localhost and 127.0.0.1 signed by
/// it, one for another host signed by it, and one for localhost signed by an
/// authority that nobody trusts. Made once per process; paths in this
/// system's form.
struct Certificates {
  testsupport::TempDir dir{"tsltlscert"};
  std::string caFile;
  std::string serverCert, serverKey;
  std::string otherHostCert, otherHostKey;
  std::string strangerCert, strangerKey;
  std::string failure; ///< empty when all were made

  static Certificates &get();
};

/// The Linux test child serving loopback connections ("--listen=0
/// --port-file=... --log=..." and the options), ended with the object.
/// Certificate options take this system's paths.
class TlsServer {
public:
  TlsServer() = default;
  ~TlsServer() { stop(); }
  TlsServer(const TlsServer &) = delete;
  TlsServer &operator=(const TlsServer &) = delete;

  /// The port once the child has written it, or 0 (`error` set).
  int start(const std::vector<std::string> &options, std::string &error);
  /// Serves TLS with `cert` and `key` (adds --tls-cert and --tls-key).
  int startTls(const std::string &cert, const std::string &key, std::vector<std::string> options,
               std::string &error);
  void stop();
  /// The child's event log ("received ...", "replied ...").
  std::string log() const { return testsupport::readFile(m_logFile); }

private:
  testsupport::TempDir m_dir{"tsltlssrv"};
  std::string m_logFile;
  int64_t m_process = -1; ///< the process handle (Linux) or process id (Wine)
};

} // namespace tlstest

#endif // TLSTESTSUPPORT_H
