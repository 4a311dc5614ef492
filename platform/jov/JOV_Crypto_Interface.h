/*===- JOV_Crypto_Interface.h - The JOV security library's C interface -===*\
|*                                                                          *|
|* The JOV library gives its callers network connections behind opaque     *|
|* 64-bit handles: plain TCP or, for secured schemes, TLS with the peer's   *|
|* certificate and host name verified. It is loaded at run time, so this    *|
|* header mainly serves for the function-pointer types and the list of      *|
|* exports; it is plain C.                                                  *|
|*                                                                          *|
\*===----------------------------------------------------------------------===*/
#ifndef JOV_CRYPTO_INTERFACE_H
#define JOV_CRYPTO_INTERFACE_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(JOV_BUILDING_LIBRARY)
#define JOV_API __declspec(dllexport)
#else
#define JOV_API __declspec(dllimport)
#endif
#else
#define JOV_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*--------------------------------------------------------------------------*\
 * Environment
 *
 * JOV_CA_FILE  When set to the path of a PEM file, secured connections trust
 *              exactly the certificates in that file instead of the system's
 *              trust store. The variable is read when a secured connection is
 *              made (JOV_Connect_Url). There is no way to switch the
 *              verification of the peer's certificate and host name off.
\*--------------------------------------------------------------------------*/

/** The namespace of the library's documents (initialize, terminate and
    session configuration documents), for their xmlns attribute; its schema is
    this URI followed by "crypto.xsd". The library reads the documents'
    elements and does not require the namespace. */
#define JOV_CRYPTO_NAMESPACE "http://schemas.jov.invalid/crypto/"

/** An open connection. Never 0; a handle that was closed stays invalid. */
typedef int64_t JOV_HANDLE;

/** One entry of JOV_Poll: the handle, the events asked for, the events found. */
typedef struct JOV_POLLFD {
  JOV_HANDLE handle;
  uint16_t events;
  uint16_t revents;
} JOV_POLLFD;

/* Poll events. Either bit of JOV_POLL_READABLE in `events` asks for
   readability; `revents` then carries both bits. A connection whose peer has
   closed, or that failed, counts as readable, so that the next JOV_Recv
   reports what happened. */
#define JOV_POLL_READNORM 0x0100
#define JOV_POLL_READBAND 0x0200
#define JOV_POLL_READABLE 0x0300
#define JOV_POLL_WRITABLE 0x0010
#define JOV_POLL_ERROR 0x0001  /* in revents only: the connection failed */
#define JOV_POLL_HANGUP 0x0002 /* in revents only: the peer closed or the handle is being closed */

/** JOV_Poll's timeout that means: wait without a time limit. */
#define JOV_POLL_INFINITE 0xFFFFFFFFu

/* Results. 0 (or, for JOV_Poll and JOV_Socket, a value above 0) is success;
   failures are negative, and come with details (see JOV_CryptoGetLastErrorDetails). */
#define JOV_OK 0
/** JOV_Poll: the time limit passed and no entry became ready. */
#define JOV_POLL_TIMEOUT 2
#define JOV_E_INVALID_ARGUMENT (-2) /* a null pointer, a bad flag or count */
#define JOV_E_INVALID_HANDLE (-3)   /* not a handle of this library, or closed */
#define JOV_E_BAD_DOCUMENT (-4)     /* an initialize, terminate or session document is not acceptable */
#define JOV_E_BAD_URL (-5)          /* the URL cannot be used: syntax, scheme or port */
#define JOV_E_RESOLVE (-6)          /* the host name cannot be resolved in the handle's family */
#define JOV_E_CONNECT (-7)          /* the connection was refused or failed */
#define JOV_E_TIMEOUT (-8)          /* the peer did not answer within the library's time limit */
#define JOV_E_SEND (-9)
#define JOV_E_RECV (-10)
#define JOV_E_POLL (-11)
#define JOV_E_TLS (-12)             /* the secure session failed (protocol, alert, set-up) */
#define JOV_E_VERIFY (-13)          /* the peer's certificate or host name did not verify */
#define JOV_E_NOT_SUPPORTED (-14)   /* the function or feature is not offered by this library */
#define JOV_E_SECURE_REQUIRED (-15) /* JOV_Connect_Url: call JOV_EstablishSecure, then JOV_Connect_Url again */
#define JOV_E_STATE (-16)           /* the call does not fit the handle's state (e.g. not connected) */
#define JOV_E_NO_MEMORY (-17)
#define JOV_E_SYSTEM (-18)          /* the operating system refused a resource (socket, network start-up) */
#define JOV_E_CLOSED (-19)          /* the handle was closed while the call was waiting */
#define JOV_E_IN_PROGRESS (-23)     /* JOV_EstablishSecure: not finished yet, call again */

/*--------------------------------------------------------------------------*\
 * Details texts
 *
 * Functions with a `char **details` parameter store there, when it is not
 * null, a text that the library allocated: on failure a description of it,
 * otherwise nothing is stored (the caller's pointer is left as it was). The
 * caller returns every such text with JOV_CryptoFree.
\*--------------------------------------------------------------------------*/

/** Opens the crypto session. `initializeDocument` must be an
    <initializeDocument> holding a non-empty <serviceID>, optionally after an
    XML declaration. Sessions are counted: each successful initialize needs
    one terminate. Handles work whether or not a session is open. */
JOV_API int JOV_CryptoInitialize(const char *initializeDocument, int reserved, char **details);
/** Closes one crypto session; `terminateDocument` is a <terminateDocument>
    holding a non-empty <serviceID>. JOV_E_STATE when no session is open. */
JOV_API int JOV_CryptoTerminate(const char *terminateDocument, int reserved, char **details);
/** Releases a details text of this library; null is allowed. Returns 0. */
JOV_API int JOV_CryptoFree(char *text, int reserved);
/** Stores in *details a description of the handle's last failure or state,
    naming the operating system's reason and number where there is one. For
    handle 0 it describes the calling thread's last failure. 0, or
    JOV_E_INVALID_HANDLE (with a text saying so) for an unknown handle. */
JOV_API int JOV_CryptoGetLastErrorDetails(JOV_HANDLE handle, int reserved, char **details);

/** Creates a connection handle for the protocol family that the session
    configuration document names: <protocolFamily>IPv4</protocolFamily> or
    <protocolFamily>IPv6</protocolFamily>. Returns 0 and stores the handle. */
JOV_API int JOV_Socket(JOV_HANDLE *handle, const char *sessionConfigDocument, int reserved, char **details);
/** Connects the handle to "scheme://host:port[/path]" within 10 seconds.
    The host is a name (resolved in the handle's family), a dotted IPv4
    address or a bracketed IPv6 literal; the port is required. Schemes "tcp"
    and "http" give a plain connection and 0. Schemes "tls" and "https"
    connect and return JOV_E_SECURE_REQUIRED; after JOV_EstablishSecure has
    returned 0, calling again with the same URL returns 0. The path is not
    used. The session document may be null; when given, it must name the
    handle's family or none. */
JOV_API int JOV_Connect_Url(JOV_HANDLE handle, const char *url, const char *sessionConfigDocument);
/** Advances the TLS client handshake of a secured connection: each call
    waits (at most 10 seconds) for the peer's next message and processes it,
    and returns JOV_E_IN_PROGRESS while the handshake needs another round
    trip, 0 when it is complete. The peer's certificate must chain to a
    trusted certificate (see JOV_CA_FILE) and name the URL's host (or IP
    address); otherwise JOV_E_VERIFY with the reason in the details. */
JOV_API int JOV_EstablishSecure(JOV_HANDLE handle, int reserved);
/** Sends all `length` bytes (waiting while the peer is slow, failing after
    30 seconds without progress); *sent (when not null) receives the count
    sent. `flags` must be 0. */
JOV_API int JOV_Send(JOV_HANDLE handle, const char *data, uint32_t length, uint32_t flags, uint32_t *sent,
                     void *reserved);
/** One receive of at most `capacity` bytes: waits until data is there or the
    peer has closed (JOV_Poll bounds the wait; JOV_CloseHandle from another
    thread ends it). Returns 0 with *received set to the count, which is 0
    when the peer has closed. `flags` must be 0. */
JOV_API int JOV_Recv(JOV_HANDLE handle, char *buffer, uint32_t capacity, uint32_t flags, uint32_t *received,
                     void *reserved);
/** Waits up to `timeoutMs` (JOV_POLL_INFINITE: no limit) until one of the
    entries shows an event it asks for, and sets every entry's revents.
    Returns the number of ready entries, or JOV_POLL_TIMEOUT (2) when the time
    passed with none ready (all revents 0); note that with two or more entries
    2 may also count ready entries, so look at revents. Negative on failure. */
JOV_API int JOV_Poll(JOV_POLLFD *entries, uint32_t count, uint32_t timeoutMs, int reserved, char **details);
/** Closes the connection (a secure session is ended best-effort), makes the
    handle invalid and sets *handle to 0. Calls waiting on the handle in
    other threads return JOV_E_CLOSED. */
JOV_API int JOV_CloseHandle(JOV_HANDLE *handle, int reserved, void *reserved2);

/* The remaining exports share one signature. This library does not offer
   them: each returns JOV_E_NOT_SUPPORTED and stores in *details (when not
   null) "<name> is not supported by this library". */
#define JOV_UNIFORM_PARAMETERS                                                                             \
  JOV_HANDLE handle, const void *input, uint32_t inputLength, void *output, uint32_t *outputLength,        \
      int reserved, char **details

JOV_API int JOV_Bind(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_Bind_Url(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_Listen(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_Accept(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_Connect(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_GetSockName(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_GetPeerName(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_GetSockOpt(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_SetSockOpt(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_SocketSecurityOp(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_Select(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_SocketStatus(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_PersistentInitialize(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_SetInfo(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_ProtectData(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_UnprotectData(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_GetInfo(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_ImpUsrInitialize(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_ImpUsrNegotiate(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_ImpUsrImpersonate(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_ImpUsrRevert(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_ImpUsrSerializeHandle(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_ImpUsrDeserializeHandle(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_GetRandomData(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_EncryptCredential(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_DecryptCredential(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_CMDRT_DecryptPassport(JOV_UNIFORM_PARAMETERS);
JOV_API int AS_EncryptText(JOV_UNIFORM_PARAMETERS);
JOV_API int AS_DecryptText(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_GenerateUserSessionID(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_VerifyUserSessionID(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_VerifyUserSessionIDBinary(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_UpdateUserSessionID(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_VerifyAuthenticityToken(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_VerifyAuthenticityTokenBinary(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_CreateCapabilityTrustToken(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_VerifyCapabilityTrustToken(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_ResolveAddress(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_ResolveAddressFromURI(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_GetAddress(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_GetAddressAsText(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_ResolveAddressFree(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_IsSafeURL(JOV_UNIFORM_PARAMETERS);
JOV_API int JOV_VerifyFileSignature(JOV_UNIFORM_PARAMETERS);

/* Function-pointer types for callers that bind the library at run time. */
typedef int (*JOV_PFN_CryptoInitialize)(const char *, int, char **);
typedef int (*JOV_PFN_CryptoTerminate)(const char *, int, char **);
typedef int (*JOV_PFN_CryptoFree)(char *, int);
typedef int (*JOV_PFN_CryptoGetLastErrorDetails)(JOV_HANDLE, int, char **);
typedef int (*JOV_PFN_Socket)(JOV_HANDLE *, const char *, int, char **);
typedef int (*JOV_PFN_Connect_Url)(JOV_HANDLE, const char *, const char *);
typedef int (*JOV_PFN_EstablishSecure)(JOV_HANDLE, int);
typedef int (*JOV_PFN_Send)(JOV_HANDLE, const char *, uint32_t, uint32_t, uint32_t *, void *);
typedef int (*JOV_PFN_Recv)(JOV_HANDLE, char *, uint32_t, uint32_t, uint32_t *, void *);
typedef int (*JOV_PFN_Poll)(JOV_POLLFD *, uint32_t, uint32_t, int, char **);
typedef int (*JOV_PFN_CloseHandle)(JOV_HANDLE *, int, void *);
/** The type of every export that JOV_UNIFORM_PARAMETERS declares. */
typedef int (*JOV_PFN_Uniform)(JOV_UNIFORM_PARAMETERS);

/** The number of exports that a complete library offers. */
#define JOV_EXPORT_COUNT 55

/* X(number, name) for every export, in binding order (1 to 55). `name` is the
   bare identifier; use #name for the text that the loader looks up. */
#define JOV_FOR_EACH_EXPORT(X)                                                                             \
  X(1, JOV_CryptoInitialize)                                                                               \
  X(2, JOV_CryptoTerminate)                                                                                \
  X(3, JOV_CryptoFree)                                                                                     \
  X(4, JOV_CryptoGetLastErrorDetails)                                                                      \
  X(5, JOV_Socket)                                                                                         \
  X(6, JOV_Bind)                                                                                           \
  X(7, JOV_Bind_Url)                                                                                       \
  X(8, JOV_Listen)                                                                                         \
  X(9, JOV_Accept)                                                                                         \
  X(10, JOV_Connect)                                                                                       \
  X(11, JOV_Connect_Url)                                                                                   \
  X(12, JOV_EstablishSecure)                                                                               \
  X(13, JOV_GetSockName)                                                                                   \
  X(14, JOV_GetPeerName)                                                                                   \
  X(15, JOV_GetSockOpt)                                                                                    \
  X(16, JOV_SetSockOpt)                                                                                    \
  X(17, JOV_Send)                                                                                          \
  X(18, JOV_Recv)                                                                                          \
  X(19, JOV_SocketSecurityOp)                                                                              \
  X(20, JOV_Select)                                                                                        \
  X(21, JOV_Poll)                                                                                          \
  X(22, JOV_SocketStatus)                                                                                  \
  X(23, JOV_CloseHandle)                                                                                   \
  X(24, JOV_PersistentInitialize)                                                                          \
  X(25, JOV_SetInfo)                                                                                       \
  X(26, JOV_ProtectData)                                                                                   \
  X(27, JOV_UnprotectData)                                                                                 \
  X(28, JOV_GetInfo)                                                                                       \
  X(29, JOV_ImpUsrInitialize)                                                                              \
  X(30, JOV_ImpUsrNegotiate)                                                                               \
  X(31, JOV_ImpUsrImpersonate)                                                                             \
  X(32, JOV_ImpUsrRevert)                                                                                  \
  X(33, JOV_ImpUsrSerializeHandle)                                                                         \
  X(34, JOV_ImpUsrDeserializeHandle)                                                                       \
  X(35, JOV_GetRandomData)                                                                                 \
  X(36, JOV_EncryptCredential)                                                                             \
  X(37, JOV_DecryptCredential)                                                                             \
  X(38, JOV_CMDRT_DecryptPassport)                                                                         \
  X(39, AS_EncryptText)                                                                                    \
  X(40, AS_DecryptText)                                                                                    \
  X(41, JOV_GenerateUserSessionID)                                                                         \
  X(42, JOV_VerifyUserSessionID)                                                                           \
  X(43, JOV_VerifyUserSessionIDBinary)                                                                     \
  X(44, JOV_UpdateUserSessionID)                                                                           \
  X(45, JOV_VerifyAuthenticityToken)                                                                       \
  X(46, JOV_VerifyAuthenticityTokenBinary)                                                                 \
  X(47, JOV_CreateCapabilityTrustToken)                                                                    \
  X(48, JOV_VerifyCapabilityTrustToken)                                                                    \
  X(49, JOV_ResolveAddress)                                                                                \
  X(50, JOV_ResolveAddressFromURI)                                                                         \
  X(51, JOV_GetAddress)                                                                                    \
  X(52, JOV_GetAddressAsText)                                                                              \
  X(53, JOV_ResolveAddressFree)                                                                            \
  X(54, JOV_IsSafeURL)                                                                                     \
  X(55, JOV_VerifyFileSignature)

#ifdef __cplusplus
}
#endif

#endif /* JOV_CRYPTO_INTERFACE_H */
