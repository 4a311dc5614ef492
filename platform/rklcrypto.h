//===- rklcrypto.h - Run-time binding of the JOV security library ---------===//
//
// The service never links against the JOV library: RKLCrypto loads it by name
// at run time and binds all of its 55 exports into one process-wide table, so
// that a missing or incomplete library leaves the service running with every
// secured exchange failing instead of a program that cannot start.
//
// The binding is all or nothing: a library that lacks any export is unloaded
// again at once and the table stays empty. Every forwarding operation checks
// its own entry: an unbound function returns -1 without calling anything and,
// where the function has a details out-parameter, stores there a pointer to
// one static empty text (which JOV_CryptoFree, being unbound too, ignores).
//
// The module, the table, the reference count and the two locks are shared by
// all instances and live until the process ends; an instance carries nothing
// of its own, and destroying it neither releases a reference nor unloads the
// library. Lock order: the count lock before the load lock. The forwarding
// operations take no lock: after binding, the table is only read.
//
//===----------------------------------------------------------------------===//
#ifndef RKLCRYPTO_H
#define RKLCRYPTO_H

#include "jov/JOV_Crypto_Interface.h"

#include <cstdint>
#include <string>

/// The exports that share JOV_UNIFORM_PARAMETERS and that the service binds
/// but never calls, as X(operation, export): the operation bears the export's
/// name without its "JOV_" prefix (the two AS_ names keep theirs).
#define RKL_CRYPTO_FOR_EACH_UNIFORM(X)                                                                                 \
  X(Bind, JOV_Bind)                                                                                                    \
  X(Bind_Url, JOV_Bind_Url)                                                                                            \
  X(Listen, JOV_Listen)                                                                                                \
  X(Accept, JOV_Accept)                                                                                                \
  X(Connect, JOV_Connect)                                                                                              \
  X(GetSockName, JOV_GetSockName)                                                                                      \
  X(GetPeerName, JOV_GetPeerName)                                                                                      \
  X(GetSockOpt, JOV_GetSockOpt)                                                                                        \
  X(SetSockOpt, JOV_SetSockOpt)                                                                                        \
  X(SocketSecurityOp, JOV_SocketSecurityOp)                                                                            \
  X(Select, JOV_Select)                                                                                                \
  X(SocketStatus, JOV_SocketStatus)                                                                                    \
  X(PersistentInitialize, JOV_PersistentInitialize)                                                                    \
  X(SetInfo, JOV_SetInfo)                                                                                              \
  X(ProtectData, JOV_ProtectData)                                                                                      \
  X(UnprotectData, JOV_UnprotectData)                                                                                  \
  X(GetInfo, JOV_GetInfo)                                                                                              \
  X(ImpUsrInitialize, JOV_ImpUsrInitialize)                                                                            \
  X(ImpUsrNegotiate, JOV_ImpUsrNegotiate)                                                                              \
  X(ImpUsrImpersonate, JOV_ImpUsrImpersonate)                                                                          \
  X(ImpUsrRevert, JOV_ImpUsrRevert)                                                                                    \
  X(ImpUsrSerializeHandle, JOV_ImpUsrSerializeHandle)                                                                  \
  X(ImpUsrDeserializeHandle, JOV_ImpUsrDeserializeHandle)                                                              \
  X(GetRandomData, JOV_GetRandomData)                                                                                  \
  X(EncryptCredential, JOV_EncryptCredential)                                                                          \
  X(DecryptCredential, JOV_DecryptCredential)                                                                          \
  X(CMDRT_DecryptPassport, JOV_CMDRT_DecryptPassport)                                                                  \
  X(AS_EncryptText, AS_EncryptText)                                                                                    \
  X(AS_DecryptText, AS_DecryptText)                                                                                    \
  X(GenerateUserSessionID, JOV_GenerateUserSessionID)                                                                  \
  X(VerifyUserSessionID, JOV_VerifyUserSessionID)                                                                      \
  X(VerifyUserSessionIDBinary, JOV_VerifyUserSessionIDBinary)                                                          \
  X(UpdateUserSessionID, JOV_UpdateUserSessionID)                                                                      \
  X(VerifyAuthenticityToken, JOV_VerifyAuthenticityToken)                                                              \
  X(VerifyAuthenticityTokenBinary, JOV_VerifyAuthenticityTokenBinary)                                                  \
  X(CreateCapabilityTrustToken, JOV_CreateCapabilityTrustToken)                                                        \
  X(VerifyCapabilityTrustToken, JOV_VerifyCapabilityTrustToken)                                                        \
  X(ResolveAddress, JOV_ResolveAddress)                                                                                \
  X(ResolveAddressFromURI, JOV_ResolveAddressFromURI)                                                                  \
  X(GetAddress, JOV_GetAddress)                                                                                        \
  X(GetAddressAsText, JOV_GetAddressAsText)                                                                            \
  X(ResolveAddressFree, JOV_ResolveAddressFree)                                                                        \
  X(IsSafeURL, JOV_IsSafeURL)                                                                                          \
  X(VerifyFileSignature, JOV_VerifyFileSignature)

class RKLCrypto {
public:
  /// Loads and binds the library `libraryName` when no reference is held
  /// (the count is read without its lock); the result of the load is not
  /// kept, ask isLoaded(). The count does not change.
  explicit RKLCrypto(const char *libraryName);
  virtual ~RKLCrypto();
  RKLCrypto(const RKLCrypto &) = delete;
  RKLCrypto &operator=(const RKLCrypto &) = delete;

  /// Under the load lock: 1 at once when a library is loaded; otherwise
  /// loads `libraryName` followed by the system's suffix (".so", ".dll") and
  /// binds every export in table order. A relative name is taken against
  /// the executable's folder, not the current directory. 1 when the library
  /// is loaded and all exports are bound; 0 otherwise, with nothing loaded.
  int load(const char *libraryName);
  /// 1 while a library is loaded (and therefore completely bound).
  int isLoaded();
  /// Takes a reference; the first one loads the library: the result of
  /// load() for it, 1 for the others.
  int acquire(const char *libraryName);
  /// Gives a reference back; the last one unloads the library and clears the
  /// table. Without a reference held nothing happens.
  void release();

  /// Why the last load failed (the system loader's text, or the missing
  /// export); empty after a successful load.
  static std::string lastLoadFailure();
  /// The number of exports bound now: 0 or JOV_EXPORT_COUNT.
  static int boundCount();
  /// The text that unbound functions store in their details out-parameter.
  static const char *emptyDetails();

  // Forwarding operations, one per export, arguments and result unchanged.
  int CryptoInitialize(const char *initializeDocument, int reserved, char **details);
  int CryptoTerminate(const char *terminateDocument, int reserved, char **details);
  int CryptoFree(char *text, int reserved);
  int CryptoGetLastErrorDetails(JOV_HANDLE handle, int reserved, char **details);
  int Socket(JOV_HANDLE *handle, const char *sessionConfigDocument, int reserved, char **details);
  int Connect_Url(JOV_HANDLE handle, const char *url, const char *sessionConfigDocument);
  int EstablishSecure(JOV_HANDLE handle, int reserved);
  int Send(JOV_HANDLE handle, const char *data, uint32_t length, uint32_t flags, uint32_t *sent, void *reserved);
  int Recv(JOV_HANDLE handle, char *buffer, uint32_t capacity, uint32_t flags, uint32_t *received, void *reserved);
  int Poll(JOV_POLLFD *entries, uint32_t count, uint32_t timeoutMs, int reserved, char **details);
  /// `details` is the export's third parameter, which carries a details
  /// pointer's address when the caller passes one.
  int CloseHandle(JOV_HANDLE *handle, int reserved, void *details);

#define RKL_CRYPTO_DECLARE_UNIFORM(operation, exportName) int operation(JOV_UNIFORM_PARAMETERS);
  RKL_CRYPTO_FOR_EACH_UNIFORM(RKL_CRYPTO_DECLARE_UNIFORM)
#undef RKL_CRYPTO_DECLARE_UNIFORM
};

#endif // RKLCRYPTO_H
