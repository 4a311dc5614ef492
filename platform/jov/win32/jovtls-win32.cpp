//===- jovtls-win32.cpp - Secure sessions in the Windows build: none ------===//
//
// The Windows build offers plain connections only; a secured URL is refused
// before anything is connected, with a text that says why.
//
//===----------------------------------------------------------------------===//
#include "../jovinternal.h"

namespace jov {

namespace {
const char kNotSupported[] = "secured connections (tls, https) are not supported by this build of the library";
}

bool tlsAvailable(Failure &failure) {
  failure = {JOV_E_NOT_SUPPORTED, kNotSupported};
  return false;
}

std::unique_ptr<TlsClient> createTlsClient(SocketId, const std::string &, Failure &failure) {
  failure = {JOV_E_NOT_SUPPORTED, kNotSupported};
  return nullptr;
}

} // namespace jov
