//===- TRQCryptoHelper.cpp - The process's crypto session over the JOV library ===//
#include "crypto/TRQCryptoHelper.h"

#include "logging/TRQLogger.h"
#include "logging/TRQLoggerFactory.h"
#include "rklcrypto.h"

#include <string>

namespace {

/// The library name that initialize() loads; replaced only by tests.
std::string &libraryName() {
  static std::string *const name = new std::string(TRQCryptoHelper::LibraryName);
  return *name;
}

} // namespace

const char *const TRQCryptoHelper::LibraryName = "JOV_Crypto_Interface";
const char *const TRQCryptoHelper::InitializeDocument =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><initializeDocument><serviceID>DOLV</serviceID></initializeDocument>";
const char *const TRQCryptoHelper::TerminateDocument =
    "<terminateDocument><serviceID>DOLV</serviceID></terminateDocument>";

std::atomic<RKLCrypto *> TRQCryptoHelper::s_pCrypto{nullptr};
TRQLogger *TRQCryptoHelper::s_logger = TRQLoggerFactory::getInstance()->getLogger("TRQCryptoHelper");

int TRQCryptoHelper::initialize() {
  if (s_pCrypto.load())
    return 1;
  RKLCrypto *crypto = new RKLCrypto(libraryName().c_str());
  s_pCrypto.store(crypto);
  if (!crypto->isLoaded()) {
    // The instance stays: socket commands then fail at handle creation.
    s_logger->log(TRQLogLevel::Fatal, "failed to initialize crypto.");
    // The loader's own words (file name, system message or missing export)
    // are what an administrator needs to mend the installation.
    s_logger->log(TRQLogLevel::Fatal, "the security library could not be loaded: %s",
                  RKLCrypto::lastLoadFailure().c_str());
    return 0;
  }
  char *details = nullptr;
  int rc = crypto->CryptoInitialize(InitializeDocument, 0, &details);
  if (rc == 0)
    return 1;
  s_logger->log(TRQLogLevel::Fatal, "JOV_CryptoInitialize failed, return code: %d ", rc);
  if (details) {
    std::string text(details);
    s_logger->log(TRQLogLevel::Fatal, "JOV_CryptoInitialize failed, JOV error details: %s ", text.c_str());
    crypto->CryptoFree(details, 0);
  }
  return 0;
}

void TRQCryptoHelper::terminate() {
  RKLCrypto *crypto = s_pCrypto.load();
  if (!crypto)
    return;
  char *details = nullptr;
  int rc = crypto->CryptoTerminate(TerminateDocument, 0, &details);
  if (rc != 0) {
    s_logger->log(TRQLogLevel::Fatal, "JOV_CryptoTerminate failed, return code: %d ", rc);
    if (details) {
      s_logger->log(TRQLogLevel::Fatal, "JOV_CryptoTerminate failed, JOV error details: %s ", details);
      crypto->CryptoFree(details, 0);
    }
  }
  // Deleting the instance leaves the library loaded and bound; a later
  // initialize() binds nothing anew and only opens a session again.
  s_pCrypto.store(nullptr);
  delete crypto;
}

RKLCrypto *TRQCryptoHelper::getCrypto() { return s_pCrypto.load(); }

void TRQCryptoHelper::setLibraryNameForTesting(const char *name) { libraryName() = name ? name : LibraryName; }
