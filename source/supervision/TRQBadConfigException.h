//===- TRQBadConfigException.h - An unusable action or process element ----===//
//
// Raised while the bootstrap configuration is read, when an action or process
// element cannot be used; the reader and the command dispatch catch it and
// log getMessage(). It stands alone, outside the core library's exception
// family, so that no handler for those catches it by accident.
//
//===----------------------------------------------------------------------===//
#ifndef TRQBADCONFIGEXCEPTION_H
#define TRQBADCONFIGEXCEPTION_H

#include <string>

class TRQBadConfigException {
public:
  /// Keeps a copy of `message` (a null message is the empty text).
  explicit TRQBadConfigException(const char *message);
  TRQBadConfigException(const TRQBadConfigException &other);
  TRQBadConfigException &operator=(const TRQBadConfigException &other);
  virtual ~TRQBadConfigException();

  const char *getMessage() const { return m_sMessage.c_str(); }

private:
  std::string m_sMessage;
};

#endif // TRQBADCONFIGEXCEPTION_H
