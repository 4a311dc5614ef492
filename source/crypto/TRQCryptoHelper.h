//===- TRQCryptoHelper.h - The process's crypto session over the JOV library -===//
//
// Owns the one RKLCrypto of the process. initialize() binds the JOV library
// and opens the crypto session during start-up; terminate() closes it before
// the program ends. Socket commands fetch the binding with getCrypto() at
// every connection and do not check that the session is open: a failed
// initialize leaves start-up going, and every exchange then fails on its own.
//
// initialize() runs on the thread that initialises the service, before any
// other thread of the service exists; terminate() on the main thread after
// the service has finished. All messages are FATAL.
//
//===----------------------------------------------------------------------===//
#ifndef TRQCRYPTOHELPER_H
#define TRQCRYPTOHELPER_H

#include <atomic>

class RKLCrypto;
class TRQLogger;

class TRQCryptoHelper {
public:
  /// The name of the library, without the system's suffix; taken relative to
  /// the folder of the program.
  static const char *const LibraryName; // "JOV_Crypto_Interface"
  /// The documents that open and close the crypto session.
  static const char *const InitializeDocument;
  static const char *const TerminateDocument;

  /// 1 when the session was opened, or when an instance already existed
  /// (also one whose initialize failed); 0 on failure, logged.
  static int initialize();
  /// Closes the session (a failure is logged) and deletes the instance; the
  /// library stays loaded. Nothing happens without an instance.
  static void terminate();
  /// The instance, or null before initialize() and after terminate().
  static RKLCrypto *getCrypto();

  /// Makes later initialize() calls load `name` instead of LibraryName
  /// (null restores it). For tests that bind a stand-in library.
  static void setLibraryNameForTesting(const char *name);

private:
  static std::atomic<RKLCrypto *> s_pCrypto;
  static TRQLogger *s_logger;
};

#endif // TRQCRYPTOHELPER_H
