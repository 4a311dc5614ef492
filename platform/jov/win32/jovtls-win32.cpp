//===- jovtls-win32.cpp - The JOV library's secure sessions, with SChannel ===//
//
// The system's own TLS does the protocol; the library checks the peer itself
// (manual validation), so that the rules are the same as in the Linux build:
// the certificate must chain to the system's trust store or, when JOV_CA_FILE
// names a PEM file, to one of that file's certificates and no other, and it
// must be issued for the URL's host name or IP address. TLS 1.2 is the
// oldest protocol offered.
//
// The credentials and the trusted certificates are prepared once per process
// (again only if JOV_CA_FILE changes) and shared by every session.
//
//===----------------------------------------------------------------------===//
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include "../jovinternal.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

// The policy's check flags, shared with the internet functions' header.
#ifndef SECURITY_FLAG_IGNORE_UNKNOWN_CA
#define SECURITY_FLAG_IGNORE_UNKNOWN_CA 0x00000100
#endif
#ifndef SECURITY_FLAG_IGNORE_CERT_CN_INVALID
#define SECURITY_FLAG_IGNORE_CERT_CN_INVALID 0x00001000
#endif

namespace jov {

namespace {

//===--- Texts ------------------------------------------------------------===//

struct NamedStatus {
  long code;
  const char *name;
};

#define JOV_STATUS(name) {static_cast<long>(name), #name}
const NamedStatus kStatusNames[] = {
    JOV_STATUS(SEC_E_INSUFFICIENT_MEMORY),   JOV_STATUS(SEC_E_INVALID_HANDLE),
    JOV_STATUS(SEC_E_UNSUPPORTED_FUNCTION),  JOV_STATUS(SEC_E_TARGET_UNKNOWN),
    JOV_STATUS(SEC_E_INTERNAL_ERROR),        JOV_STATUS(SEC_E_SECPKG_NOT_FOUND),
    JOV_STATUS(SEC_E_NOT_OWNER),             JOV_STATUS(SEC_E_INVALID_TOKEN),
    JOV_STATUS(SEC_E_LOGON_DENIED),          JOV_STATUS(SEC_E_NO_CREDENTIALS),
    JOV_STATUS(SEC_E_MESSAGE_ALTERED),       JOV_STATUS(SEC_E_OUT_OF_SEQUENCE),
    JOV_STATUS(SEC_E_INCOMPLETE_MESSAGE),    JOV_STATUS(SEC_E_INCOMPLETE_CREDENTIALS),
    JOV_STATUS(SEC_E_BUFFER_TOO_SMALL),      JOV_STATUS(SEC_E_WRONG_PRINCIPAL),
    JOV_STATUS(SEC_E_UNTRUSTED_ROOT),        JOV_STATUS(SEC_E_ILLEGAL_MESSAGE),
    JOV_STATUS(SEC_E_CERT_UNKNOWN),          JOV_STATUS(SEC_E_CERT_EXPIRED),
    JOV_STATUS(SEC_E_ENCRYPT_FAILURE),       JOV_STATUS(SEC_E_DECRYPT_FAILURE),
    JOV_STATUS(SEC_E_ALGORITHM_MISMATCH),    JOV_STATUS(SEC_E_CONTEXT_EXPIRED),
    JOV_STATUS(SEC_E_UNSUPPORTED_PREAUTH),   JOV_STATUS(SEC_E_INVALID_PARAMETER),
    JOV_STATUS(SEC_E_CERT_WRONG_USAGE),      JOV_STATUS(SEC_E_NO_AUTHENTICATING_AUTHORITY),
    JOV_STATUS(SEC_E_SHUTDOWN_IN_PROGRESS),  JOV_STATUS(SEC_I_CONTINUE_NEEDED),
    JOV_STATUS(SEC_I_CONTEXT_EXPIRED),       JOV_STATUS(SEC_I_INCOMPLETE_CREDENTIALS),
    JOV_STATUS(SEC_I_RENEGOTIATE),           JOV_STATUS(CERT_E_EXPIRED),
    JOV_STATUS(CERT_E_UNTRUSTEDROOT),        JOV_STATUS(CERT_E_CHAINING),
    JOV_STATUS(CERT_E_REVOKED),              JOV_STATUS(CERT_E_CN_NO_MATCH),
    JOV_STATUS(CERT_E_WRONG_USAGE),          JOV_STATUS(CERT_E_ROLE),
    JOV_STATUS(CERT_E_PURPOSE),              JOV_STATUS(CERT_E_VALIDITYPERIODNESTING),
    JOV_STATUS(CERT_E_CRITICAL),             JOV_STATUS(CERT_E_INVALID_NAME),
    JOV_STATUS(CERT_E_INVALID_POLICY),       JOV_STATUS(TRUST_E_CERT_SIGNATURE),
    JOV_STATUS(TRUST_E_BASIC_CONSTRAINTS),   JOV_STATUS(CRYPT_E_REVOCATION_OFFLINE),
};
#undef JOV_STATUS

/// "SEC_E_UNTRUSTED_ROOT 0x80090325": the status's name, when known, and its code.
std::string statusText(long status) {
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%08lX", static_cast<unsigned long>(status));
  for (const NamedStatus &known : kStatusNames) {
    if (known.code == status)
      return std::string(known.name) + " " + hex;
  }
  return std::string("status ") + hex;
}

std::wstring widen(const std::string &text) {
  if (text.empty())
    return L"";
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0)
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
  return out;
}

std::string narrow(const std::wstring &text) {
  if (text.empty())
    return "";
  int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
  std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr,
                        nullptr);
  return out;
}

/// The value of an environment variable of the process (not the C runtime's
/// copy, which misses what the process set with the system's functions).
std::wstring environmentValue(const wchar_t *name) {
  DWORD length = GetEnvironmentVariableW(name, nullptr, 0);
  if (length == 0)
    return L"";
  std::wstring value(length, L'\0');
  length = GetEnvironmentVariableW(name, value.data(), length);
  value.resize(length);
  return value;
}

std::string subjectOf(PCCERT_CONTEXT certificate) {
  wchar_t name[512] = L"";
  CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 512);
  return narrow(name);
}

//===--- Trust: credentials and anchors, shared by the sessions -----------===//

class TrustContext {
public:
  TrustContext() { SecInvalidateHandle(&m_credentials); }
  ~TrustContext() {
    if (SecIsValidHandle(&m_credentials))
      FreeCredentialsHandle(&m_credentials);
    if (m_anchors)
      CertCloseStore(m_anchors, 0);
  }
  TrustContext(const TrustContext &) = delete;
  TrustContext &operator=(const TrustContext &) = delete;

  /// Loads the certificates of the PEM file `path` as the only anchors.
  bool loadAnchors(const std::wstring &path, Failure &failure) {
    const std::string shown = "cannot load the trusted certificates of JOV_CA_FILE \"" + narrow(path) + "\": ";
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in) {
      failure = {JOV_E_TLS, shown + "the file cannot be opened"};
      return false;
    }
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    m_anchors = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
    if (!m_anchors) {
      failure = {JOV_E_TLS, shown + "CertOpenStore failed, error " + std::to_string(GetLastError())};
      return false;
    }
    static const std::string kBegin = "-----BEGIN CERTIFICATE-----";
    static const std::string kEnd = "-----END CERTIFICATE-----";
    std::size_t count = 0;
    for (std::size_t pos = pem.find(kBegin); pos != std::string::npos; pos = pem.find(kBegin, pos)) {
      std::size_t end = pem.find(kEnd, pos);
      if (end == std::string::npos)
        break;
      const std::string block = pem.substr(pos, end + kEnd.size() - pos);
      pos = end + kEnd.size();
      DWORD size = 0;
      if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                &size, nullptr, nullptr)) {
        failure = {JOV_E_TLS, shown + "certificate " + std::to_string(count + 1) + " is not valid base64 (error " +
                                  std::to_string(GetLastError()) + ")"};
        return false;
      }
      std::vector<BYTE> der(size);
      CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                           &size, nullptr, nullptr);
      if (!CertAddEncodedCertificateToStore(m_anchors, X509_ASN_ENCODING, der.data(), size,
                                            CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        failure = {JOV_E_TLS, shown + "certificate " + std::to_string(count + 1) + " cannot be decoded (error " +
                                  std::to_string(GetLastError()) + ")"};
        return false;
      }
      ++count;
    }
    if (count == 0) {
      failure = {JOV_E_TLS, shown + "the file holds no PEM certificate"};
      return false;
    }
    return true;
  }

  /// The client credentials: TLS 1.2 and later, no client certificate, the
  /// peer checked by the library.
  bool acquireCredentials(Failure &failure) {
    SCHANNEL_CRED data{};
    data.dwVersion = SCHANNEL_CRED_VERSION;
    data.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    data.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
    SECURITY_STATUS status = acquire(data);
    if (status != SEC_E_OK) {
      // Systems whose SChannel does not know TLS 1.3 refuse the whole set.
      data.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
      status = acquire(data);
    }
    if (status != SEC_E_OK) {
      failure = {JOV_E_TLS, "cannot acquire the TLS client credentials: " + statusText(status)};
      return false;
    }
    return true;
  }

  CredHandle *credentials() { return &m_credentials; }
  /// The only trusted certificates, or null for the system's trust store.
  HCERTSTORE anchors() const { return m_anchors; }

private:
  SECURITY_STATUS acquire(SCHANNEL_CRED &data) {
    TimeStamp expiry;
    return AcquireCredentialsHandleW(nullptr, const_cast<wchar_t *>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                     &data, nullptr, nullptr, &m_credentials, &expiry);
  }

  CredHandle m_credentials;
  HCERTSTORE m_anchors = nullptr;
};

std::mutex g_trustLock;
std::shared_ptr<TrustContext> g_trust;
std::wstring g_trustCaFile;

/// The shared context for the current JOV_CA_FILE, made on first use.
std::shared_ptr<TrustContext> trustContext(Failure &failure) {
  const std::wstring caFile = environmentValue(L"JOV_CA_FILE");
  std::lock_guard<std::mutex> guard(g_trustLock);
  if (g_trust && g_trustCaFile == caFile)
    return g_trust;
  auto context = std::make_shared<TrustContext>();
  if (!caFile.empty() && !context->loadAnchors(caFile, failure))
    return nullptr;
  if (!context->acquireCredentials(failure))
    return nullptr;
  g_trust = context;
  g_trustCaFile = caFile;
  return context;
}

//===--- Checking the peer ------------------------------------------------===//

bool parseAddress(const std::string &host, std::vector<BYTE> &address) {
  in_addr v4;
  in6_addr v6;
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    address.assign(reinterpret_cast<BYTE *>(&v4), reinterpret_cast<BYTE *>(&v4) + sizeof(v4));
    return true;
  }
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    address.assign(reinterpret_cast<BYTE *>(&v6), reinterpret_cast<BYTE *>(&v6) + sizeof(v6));
    return true;
  }
  return false;
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  return text;
}

/// A DNS name of a certificate against the host: exact, or a wildcard that
/// stands for the whole leftmost label of a name with at least three labels.
bool nameMatches(std::string pattern, std::string host) {
  pattern = lowered(pattern);
  host = lowered(host);
  if (!pattern.empty() && pattern.back() == '.')
    pattern.pop_back();
  if (!host.empty() && host.back() == '.')
    host.pop_back();
  if (pattern == host)
    return true;
  if (pattern.compare(0, 2, "*.") != 0 || std::count(pattern.begin(), pattern.end(), '.') < 2)
    return false;
  std::size_t dot = host.find('.');
  return dot != std::string::npos && dot > 0 && host.substr(dot) == pattern.substr(1);
}

/// Whether the certificate is issued for `host`: its subject alternative
/// names, or (a host name, when it lists no DNS name) its common name.
bool issuedFor(PCCERT_CONTEXT certificate, const std::string &host, bool isAddress,
               const std::vector<BYTE> &address) {
  bool sawDnsName = false;
  PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                                                certificate->pCertInfo->rgExtension);
  if (extension) {
    CERT_ALT_NAME_INFO *names = nullptr;
    DWORD size = 0;
    if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                            extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
      bool match = false;
      for (DWORD i = 0; i < names->cAltEntry && !match; ++i) {
        const CERT_ALT_NAME_ENTRY &entry = names->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && isAddress) {
          match = entry.IPAddress.cbData == address.size() &&
                  std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0;
        } else if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
          sawDnsName = true;
          match = !isAddress && nameMatches(narrow(entry.pwszDNSName), host);
        }
      }
      LocalFree(names);
      if (match)
        return true;
    }
  }
  if (isAddress || sawDnsName)
    return false;
  wchar_t commonName[256] = L"";
  CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char *>(szOID_COMMON_NAME), commonName, 256);
  return commonName[0] != L'\0' && nameMatches(narrow(commonName), host);
}

/// Why the chain is not good enough, from its error bits; "" when it is.
std::string chainProblem(DWORD errors, long &status) {
  if (errors & CERT_TRUST_IS_PARTIAL_CHAIN) {
    status = CERT_E_CHAINING;
    return "unable to get local issuer certificate";
  }
  if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) {
    status = TRUST_E_CERT_SIGNATURE;
    return "certificate signature failure";
  }
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID) {
    status = CERT_E_EXPIRED;
    return "a certificate of the chain is expired or not yet valid";
  }
  if (errors & CERT_TRUST_IS_REVOKED) {
    status = CERT_E_REVOKED;
    return "a certificate of the chain is revoked";
  }
  if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
    status = CERT_E_WRONG_USAGE;
    return "the certificate is not meant for TLS servers";
  }
  if (errors & CERT_TRUST_INVALID_BASIC_CONSTRAINTS) {
    status = TRUST_E_BASIC_CONSTRAINTS;
    return "an issuer of the chain is not a certificate authority";
  }
  if (errors & CERT_TRUST_IS_CYCLIC) {
    status = CERT_E_CHAINING;
    return "the certificate chain is cyclic";
  }
  return "";
}

Failure notAccepted(const std::string &why, long status) {
  return {JOV_E_VERIFY, "the server's certificate was not accepted: " + why + " (" + statusText(status) + ")"};
}

/// Owner of a certificate context, store or chain.
struct CertificateOwner {
  PCCERT_CONTEXT certificate = nullptr;
  HCERTSTORE store = nullptr;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  ~CertificateOwner() {
    if (chain)
      CertFreeCertificateChain(chain);
    if (store)
      CertCloseStore(store, 0);
    if (certificate)
      CertFreeCertificateContext(certificate);
  }
};

/// Verifies the peer's chain and name after the handshake.
bool verifyPeer(CtxtHandle &context, const TrustContext &trust, const std::string &host, Failure &failure) {
  CertificateOwner own;
  SECURITY_STATUS status = QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &own.certificate);
  if (status != SEC_E_OK || !own.certificate) {
    failure = {JOV_E_VERIFY, "the server sent no certificate (" + statusText(status) + ")"};
    return false;
  }
  // The chain may use what the server sent and, with JOV_CA_FILE, the anchors.
  HCERTSTORE extra = own.certificate->hCertStore;
  if (trust.anchors()) {
    own.store = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (!own.store || !CertAddStoreToCollection(own.store, trust.anchors(), 0, 0) ||
        !CertAddStoreToCollection(own.store, own.certificate->hCertStore, 0, 0)) {
      failure = {JOV_E_VERIFY, "cannot prepare the certificate stores, error " + std::to_string(GetLastError())};
      return false;
    }
    extra = own.store;
  }
  char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
  char *usages[] = {serverAuth};
  CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof(chainPara);
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  if (!CertGetCertificateChain(nullptr, own.certificate, nullptr, extra, &chainPara, 0, nullptr, &own.chain)) {
    failure = {JOV_E_VERIFY, "cannot build the certificate chain, error " + std::to_string(GetLastError())};
    return false;
  }
  DWORD errors = own.chain->TrustStatus.dwErrorStatus;
  long problemStatus = 0;
  std::string problem = chainProblem(errors & ~CERT_TRUST_IS_UNTRUSTED_ROOT, problemStatus);
  if (!problem.empty()) {
    failure = notAccepted(problem, problemStatus);
    return false;
  }
  const CERT_SIMPLE_CHAIN *simple = own.chain->cChain > 0 ? own.chain->rgpChain[0] : nullptr;
  if (!simple || simple->cElement == 0) {
    failure = notAccepted("the certificate chain is empty", CERT_E_CHAINING);
    return false;
  }
  PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
  if (trust.anchors()) {
    // Only the file's certificates are trusted, whatever the system trusts.
    PCCERT_CONTEXT anchor =
        CertFindCertificateInStore(trust.anchors(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, root, nullptr);
    if (!anchor) {
      failure = notAccepted("the chain ends at \"" + subjectOf(root) +
                                "\", which is not one of the certificates of JOV_CA_FILE",
                            CERT_E_UNTRUSTEDROOT);
      return false;
    }
    CertFreeCertificateContext(anchor);
  } else if (errors & CERT_TRUST_IS_UNTRUSTED_ROOT) {
    failure = notAccepted("the chain ends at \"" + subjectOf(root) + "\", which this system does not trust",
                          CERT_E_UNTRUSTEDROOT);
    return false;
  }

  std::vector<BYTE> address;
  const bool isAddress = parseAddress(host, address);
  if (!issuedFor(own.certificate, host, isAddress, address)) {
    failure = notAccepted(isAddress ? "IP address mismatch, the certificate is not issued for " + host
                                    : "hostname mismatch, the certificate is not issued for " + host,
                          CERT_E_CN_NO_MATCH);
    return false;
  }

  // The system's rules for TLS servers (usage, validity, policies); trust
  // and name are settled above.
  std::wstring serverName = widen(host);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof(ssl);
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = SECURITY_FLAG_IGNORE_CERT_CN_INVALID | (trust.anchors() ? SECURITY_FLAG_IGNORE_UNKNOWN_CA : 0);
  ssl.pwszServerName = serverName.data();
  CERT_CHAIN_POLICY_PARA policyPara{};
  policyPara.cbSize = sizeof(policyPara);
  policyPara.dwFlags = trust.anchors() ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
  policyPara.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS policyStatus{};
  policyStatus.cbSize = sizeof(policyStatus);
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, own.chain, &policyPara, &policyStatus)) {
    failure = {JOV_E_VERIFY, "cannot check the certificate chain, error " + std::to_string(GetLastError())};
    return false;
  }
  long policyError = static_cast<long>(policyStatus.dwError);
  if (policyError != 0 && !(trust.anchors() && policyError == static_cast<long>(CERT_E_UNTRUSTEDROOT)) &&
      policyError != static_cast<long>(CERT_E_CN_NO_MATCH)) {
    failure = notAccepted("the system's rules for TLS servers refuse it", policyError);
    return false;
  }
  return true;
}

//===--- The session ------------------------------------------------------===//

/// Owner of a buffer that SChannel allocated.
struct ContextBuffer {
  void *data = nullptr;
  ~ContextBuffer() {
    if (data)
      FreeContextBuffer(data);
  }
};

constexpr ULONG kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                           ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                           ISC_REQ_MANUAL_CRED_VALIDATION;

/// Largest amount of undecrypted input kept: more than any TLS record.
constexpr std::size_t kMaxInput = 64 * 1024;
/// The record type of a TLS alert (the closing alert among them).
constexpr unsigned char kAlertRecord = 21;

class SChannelClient final : public TlsClient {
public:
  SChannelClient(std::shared_ptr<TrustContext> trust, SocketId socket, const std::string &host)
      : m_trust(std::move(trust)), m_socket(socket), m_host(host) {
    SecInvalidateHandle(&m_context);
    std::vector<BYTE> address;
    // A name goes out as the server name indication; an address does not.
    if (!parseAddress(host, address))
      m_targetName = widen(host);
  }
  ~SChannelClient() override {
    if (SecIsValidHandle(&m_context))
      DeleteSecurityContext(&m_context);
  }

  Step handshake(int waitMs, const std::atomic<bool> &cancel, Failure &failure) override {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    bool wrote = false;
    for (;;) {
      if (!flushHandshake(deadline, cancel, wrote, failure))
        return Step::Failed;
      if (m_established) {
        if (!verifyPeer(m_context, *m_trust, m_host, failure))
          return Step::Failed;
        return Step::Done;
      }
      if (m_needInput) {
        // Our flight is out: the next round trip belongs to the next call.
        if (wrote)
          return Step::InProgress;
        if (!readHandshake(deadline, waitMs, cancel, failure))
          return Step::Failed;
        continue;
      }
      if (!step(failure))
        return Step::Failed;
    }
  }

  std::string protocol() const override {
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesW(const_cast<CtxtHandle *>(&m_context), SECPKG_ATTR_CONNECTION_INFO, &info) !=
        SEC_E_OK)
      return "TLS";
    if (info.dwProtocol & SP_PROT_TLS1_3)
      return "TLSv1.3";
    if (info.dwProtocol & SP_PROT_TLS1_2)
      return "TLSv1.2";
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%lX", static_cast<unsigned long>(info.dwProtocol));
    return std::string("TLS (protocol ") + hex + ")";
  }

  Io write(const char *data, std::size_t length, std::size_t &written, std::string &reason) override {
    // A record that did not leave completely is finished first; the caller
    // offers the same data again, and the record's share is then reported.
    if (m_pendingPlain == 0) {
      if (!m_sizesKnown) {
        SECURITY_STATUS status = QueryContextAttributesW(&m_context, SECPKG_ATTR_STREAM_SIZES, &m_sizes);
        if (status != SEC_E_OK) {
          reason = "cannot query the record sizes: " + statusText(status);
          return Io::Failed;
        }
        m_sizesKnown = true;
      }
      std::size_t chunk = std::min<std::size_t>(length, m_sizes.cbMaximumMessage);
      m_output.resize(m_sizes.cbHeader + chunk + m_sizes.cbTrailer);
      std::memcpy(m_output.data() + m_sizes.cbHeader, data, chunk);
      SecBuffer buffers[4] = {
          {m_sizes.cbHeader, SECBUFFER_STREAM_HEADER, m_output.data()},
          {static_cast<ULONG>(chunk), SECBUFFER_DATA, m_output.data() + m_sizes.cbHeader},
          {m_sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, m_output.data() + m_sizes.cbHeader + chunk},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      SECURITY_STATUS status = EncryptMessage(&m_context, 0, &description, 0);
      if (status != SEC_E_OK) {
        m_output.clear();
        reason = "EncryptMessage failed: " + statusText(status);
        return Io::Failed;
      }
      m_output.resize(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
      m_pendingPlain = chunk;
    }
    Io io = flushOutput(reason);
    if (io != Io::Done)
      return io;
    written = m_pendingPlain;
    m_pendingPlain = 0;
    return Io::Done;
  }

  Io read(char *buffer, std::size_t capacity, std::size_t &received, std::string &reason) override {
    for (;;) {
      if (!m_plain.empty()) {
        std::size_t moved = std::min(capacity, m_plain.size());
        std::memcpy(buffer, m_plain.data(), moved);
        m_plain.erase(m_plain.begin(), m_plain.begin() + static_cast<std::ptrdiff_t>(moved));
        received = moved;
        return Io::Done;
      }
      Io io = fill(reason);
      if (io != Io::Done)
        return io;
    }
  }

  bool hasBufferedData() override {
    std::string reason;
    decryptBuffered(reason);
    return !m_plain.empty();
  }

  Io probe(std::string &reason) override {
    if (!m_plain.empty())
      return Io::Done;
    return fill(reason);
  }

  void shutdown() override {
    if (!m_established || !SecIsValidHandle(&m_context))
      return;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer token{sizeof(type), SECBUFFER_TOKEN, &type};
    SecBufferDesc description{SECBUFFER_VERSION, 1, &token};
    if (ApplyControlToken(&m_context, &description) != SEC_E_OK)
      return;
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDescription{SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    SECURITY_STATUS status = InitializeSecurityContextW(m_trust->credentials(), &m_context, nullptr, kRequest, 0, 0,
                                                        nullptr, 0, nullptr, &outDescription, &attributes, nullptr);
    ContextBuffer alert{out.pvBuffer};
    if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && out.pvBuffer && out.cbBuffer > 0) {
      // The closing alert, sent once and without waiting for the peer.
      std::size_t sent = 0;
      std::string reason;
      sendSome(m_socket, static_cast<const char *>(out.pvBuffer), out.cbBuffer, sent, reason);
    }
  }

private:
  //--- Handshake ----------------------------------------------------------//

  /// One call of InitializeSecurityContext on what arrived so far.
  bool step(Failure &failure) {
    SecBuffer in[2] = {{static_cast<ULONG>(m_input.size()), SECBUFFER_TOKEN, m_input.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDescription{SECBUFFER_VERSION, 2, in};
    SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outDescription{SECBUFFER_VERSION, 2, out};
    ULONG attributes = 0;
    const bool first = !SecIsValidHandle(&m_context);
    SECURITY_STATUS status = InitializeSecurityContextW(
        m_trust->credentials(), first ? nullptr : &m_context, m_targetName.empty() ? nullptr : m_targetName.data(),
        kRequest, 0, 0, first ? nullptr : &inDescription, 0, &m_context, &outDescription, &attributes, nullptr);
    ContextBuffer token{out[0].pvBuffer};
    ContextBuffer alert{out[1].pvBuffer};
    if (out[0].pvBuffer && out[0].cbBuffer > 0) {
      const char *bytes = static_cast<const char *>(out[0].pvBuffer);
      m_output.insert(m_output.end(), bytes, bytes + out[0].cbBuffer);
    }
    switch (status) {
    case SEC_E_OK:
      keepExtra(in[1]);
      // What followed the handshake belongs to the application.
      m_cipher.swap(m_input);
      m_input.clear();
      m_established = true;
      return true;
    case SEC_I_CONTINUE_NEEDED:
      keepExtra(in[1]);
      m_needInput = m_input.empty();
      return true;
    case SEC_E_INCOMPLETE_MESSAGE:
      m_needInput = true;
      return true;
    case SEC_I_INCOMPLETE_CREDENTIALS:
      // The server asks for a client certificate; go on without one.
      if (++m_credentialRounds > 2)
        break;
      return true;
    default:
      break;
    }
    // A failing handshake may still owe the peer an alert; best effort.
    if (!m_output.empty()) {
      std::size_t sent = 0;
      std::string reason;
      sendSome(m_socket, m_output.data(), m_output.size(), sent, reason);
      m_output.clear();
    }
    failure = {status == SEC_E_UNTRUSTED_ROOT || status == SEC_E_WRONG_PRINCIPAL || status == SEC_E_CERT_EXPIRED ||
                       status == SEC_E_CERT_UNKNOWN
                   ? JOV_E_VERIFY
                   : JOV_E_TLS,
               "InitializeSecurityContext failed: " + statusText(status)};
    return false;
  }

  /// Keeps only the bytes that the last call did not consume.
  void keepExtra(const SecBuffer &extra) {
    if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= m_input.size())
      m_input.erase(m_input.begin(), m_input.end() - static_cast<std::ptrdiff_t>(extra.cbBuffer));
    else
      m_input.clear();
  }

  bool flushHandshake(Clock::time_point deadline, const std::atomic<bool> &cancel, bool &wrote, Failure &failure) {
    while (!m_output.empty()) {
      std::string reason;
      std::size_t before = m_output.size();
      Io io = flushOutput(reason);
      if (m_output.size() != before)
        wrote = true;
      if (io == Io::Done)
        break;
      if (io == Io::Closed) {
        failure = {JOV_E_TLS, "the server closed the connection during the handshake"};
        return false;
      }
      if (io == Io::Failed) {
        failure = {JOV_E_TLS, reason};
        return false;
      }
      if (!waitReady(true, deadline, cancel, failure))
        return false;
    }
    return true;
  }

  bool readHandshake(Clock::time_point deadline, int waitMs, const std::atomic<bool> &cancel, Failure &failure) {
    for (;;) {
      std::string reason;
      Io io = receive(m_input, reason);
      switch (io) {
      case Io::Done:
        m_needInput = false;
        return true;
      case Io::Closed:
        failure = {JOV_E_TLS, "the server closed the connection during the handshake"};
        return false;
      case Io::Failed:
        failure = {JOV_E_TLS, reason};
        return false;
      default:
        break;
      }
      if (!waitReady(false, deadline, cancel, failure)) {
        if (failure.code == JOV_OK)
          failure = {JOV_E_TIMEOUT, "the server did not answer within " + std::to_string(waitMs / 1000) + " seconds"};
        return false;
      }
    }
  }

  /// True when the socket is ready; false when cancelled, failed (failure
  /// set) or out of time (failure left as it was, JOV_OK when fresh).
  bool waitReady(bool forWrite, Clock::time_point deadline, const std::atomic<bool> &cancel, Failure &failure) {
    for (;;) {
      if (cancel.load()) {
        failure = {JOV_E_CLOSED, "the handle was closed during the handshake"};
        return false;
      }
      Clock::time_point now = Clock::now();
      if (now >= deadline) {
        if (forWrite)
          failure = {JOV_E_TIMEOUT, "the server did not take the handshake's data in time"};
        return false;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
      std::vector<WaitEntry> entries(1);
      entries[0].socket = m_socket;
      entries[0].wantRead = !forWrite;
      entries[0].wantWrite = forWrite;
      std::string reason;
      int ready = waitSockets(entries, static_cast<int>(std::min<long long>(left + 1, kWaitSliceMs)), reason);
      if (ready < 0) {
        failure = {JOV_E_TLS, "waiting for the server failed: " + reason};
        return false;
      }
      if (ready > 0)
        return true;
    }
  }

  //--- Records ------------------------------------------------------------//

  /// Sends what is waiting in m_output without blocking.
  Io flushOutput(std::string &reason) {
    while (!m_output.empty()) {
      std::size_t sent = 0;
      Io io = sendSome(m_socket, m_output.data(), m_output.size(), sent, reason);
      if (io != Io::Done)
        return io;
      m_output.erase(m_output.begin(), m_output.begin() + static_cast<std::ptrdiff_t>(sent));
    }
    return Io::Done;
  }

  /// Appends what the socket holds to `into`, without blocking.
  Io receive(std::vector<char> &into, std::string &reason) {
    if (into.size() >= kMaxInput) {
      reason = "the server sent more than " + std::to_string(kMaxInput) + " bytes that form no complete record";
      return Io::Failed;
    }
    std::size_t before = into.size();
    into.resize(std::max<std::size_t>(before + 16384, kMaxInput / 4));
    std::size_t received = 0;
    Io io = recvSome(m_socket, into.data() + before, into.size() - before, received, reason);
    into.resize(before + (io == Io::Done ? received : 0));
    return io;
  }

  /// Decrypts the complete records of m_cipher into m_plain. Done when it
  /// could go on, WantRead when a record is incomplete, Closed at the
  /// peer's closing alert, Failed otherwise.
  Io decryptBuffered(std::string &reason) {
    if (m_closed)
      return Io::Closed;
    while (!m_cipher.empty()) {
      SecBuffer buffers[4] = {{static_cast<ULONG>(m_cipher.size()), SECBUFFER_DATA, m_cipher.data()},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      const bool alertRecord = static_cast<unsigned char>(m_cipher[0]) == kAlertRecord;
      SECURITY_STATUS status = DecryptMessage(&m_context, &description, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE)
        return Io::WantRead;
      if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE) {
        reason = "DecryptMessage failed: " + statusText(status);
        return Io::Failed;
      }
      // Some SChannel implementations (Wine's among them) accept the
      // server's closing alert without reporting the context's end; an
      // alert record that decrypted is genuine, so the connection's end
      // after it is a clean one.
      if (alertRecord)
        m_alertReceived = true;
      std::vector<char> rest;
      for (const SecBuffer &buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
          const char *bytes = static_cast<const char *>(buffer.pvBuffer);
          m_plain.insert(m_plain.end(), bytes, bytes + buffer.cbBuffer);
        } else if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0) {
          const char *bytes = static_cast<const char *>(buffer.pvBuffer);
          rest.assign(bytes, bytes + buffer.cbBuffer);
        }
      }
      m_cipher.swap(rest);
      if (status == SEC_I_CONTEXT_EXPIRED) {
        m_closed = true;
        m_cipher.clear();
        return Io::Closed;
      }
      if (status == SEC_I_RENEGOTIATE && !afterHandshakeMessage(reason))
        return Io::Failed;
    }
    return Io::WantRead;
  }

  /// A handshake message after the handshake (a TLS 1.3 key update or
  /// session ticket): handed back to InitializeSecurityContext.
  bool afterHandshakeMessage(std::string &reason) {
    SecBuffer in[2] = {{static_cast<ULONG>(m_cipher.size()), SECBUFFER_TOKEN, m_cipher.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDescription{SECBUFFER_VERSION, 2, in};
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDescription{SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    SECURITY_STATUS status =
        InitializeSecurityContextW(m_trust->credentials(), &m_context, m_targetName.empty() ? nullptr : m_targetName.data(),
                                   kRequest, 0, 0, &inDescription, 0, nullptr, &outDescription, &attributes, nullptr);
    ContextBuffer token{out.pvBuffer};
    if (out.pvBuffer && out.cbBuffer > 0) {
      const char *bytes = static_cast<const char *>(out.pvBuffer);
      m_output.insert(m_output.end(), bytes, bytes + out.cbBuffer);
      flushOutput(reason);
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      reason = "the server's renewed handshake failed: " + statusText(status);
      return false;
    }
    if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 && in[1].cbBuffer <= m_cipher.size())
      m_cipher.erase(m_cipher.begin(), m_cipher.end() - static_cast<std::ptrdiff_t>(in[1].cbBuffer));
    else
      m_cipher.clear();
    return true;
  }

  /// Brings application data into m_plain: Done when some is there,
  /// WantRead when the socket has nothing more yet, Closed or Failed.
  Io fill(std::string &reason) {
    for (;;) {
      Io io = decryptBuffered(reason);
      if (io == Io::Closed || io == Io::Failed)
        return m_plain.empty() ? io : Io::Done;
      if (!m_plain.empty())
        return Io::Done;
      io = receive(m_cipher, reason);
      if (io == Io::Closed && m_alertReceived) {
        m_closed = true;
        return Io::Closed;
      }
      if (io == Io::Closed) {
        // The connection ended without the server's closing alert: the
        // stream was cut short, which is never a clean end.
        reason = "the peer ended the connection without closing the secured session";
        return Io::Failed;
      }
      if (io != Io::Done)
        return io;
    }
  }

  std::shared_ptr<TrustContext> m_trust;
  SocketId m_socket;
  std::string m_host;
  std::wstring m_targetName;
  CtxtHandle m_context;
  bool m_established = false;
  bool m_needInput = false;
  bool m_closed = false;
  bool m_alertReceived = false; ///< an authenticated alert record arrived
  int m_credentialRounds = 0;
  bool m_sizesKnown = false;
  SecPkgContext_StreamSizes m_sizes{};
  std::vector<char> m_input;  ///< handshake bytes not yet consumed
  std::vector<char> m_output; ///< bytes to send (handshake tokens or one record)
  std::size_t m_pendingPlain = 0;
  std::vector<char> m_cipher; ///< received records not yet decrypted
  std::vector<char> m_plain;  ///< decrypted data not yet delivered
};

} // namespace

bool tlsAvailable(Failure &) { return true; }

std::unique_ptr<TlsClient> createTlsClient(SocketId socket, const std::string &host, Failure &failure) {
  std::shared_ptr<TrustContext> trust = trustContext(failure);
  if (!trust)
    return nullptr;
  return std::make_unique<SChannelClient>(std::move(trust), socket, host);
}

} // namespace jov
