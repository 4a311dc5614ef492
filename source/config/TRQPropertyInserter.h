//===- TRQPropertyInserter.h - The property table and ${name} substitution ===//
//
// One process-wide table of named text values, filled during start-up from
// the startup configuration, the registry, the environment, the command line
// and small state files, and read afterwards to complete configuration texts:
// every "${name}" whose name the table holds is replaced by its value, and
// inserted values are scanned again, so references nest to any depth.
//
// Thread safety: there is no lock. The table is filled by the start-up thread
// before any other thread of the service exists; afterwards every thread only
// reads it (getProperty, and insertProperties on strings of its own). Calling
// addProperty while another thread reads is not supported.
//
// Values that refer to themselves, directly (a = "${a}", a = "x${a}") or
// through others (a = "${b}", b = "${a}"), would make the substitution run
// for ever. It is therefore bounded: at most MaxReplacements replacements per
// call, and no replacement that would make the text grow by more than
// MaxGrowth bytes over the text as given (a long text with a few ordinary
// references is substituted whatever its own length). At the bound the text is left as far as it got and
// one ERROR line names the text as it was given. No real configuration comes
// near either limit.
//
//===----------------------------------------------------------------------===//
#ifndef TRQPROPERTYINSERTER_H
#define TRQPROPERTYINSERTER_H

#include "rklcore.h"

#include <cstddef>
#include <map>
#include <string>

class TRQLogger;

class TRQPropertyInserter {
public:
  /// Most replacements that one insertProperties call makes.
  static constexpr std::size_t MaxReplacements = 10000;
  /// Most bytes by which one insertProperties call may lengthen its text
  /// (1 MiB).
  static constexpr std::size_t MaxGrowth = 1024 * 1024;

  /// The one table of the process, created empty on the first call and never
  /// destroyed.
  static TRQPropertyInserter *getInstance();

  virtual ~TRQPropertyInserter();
  TRQPropertyInserter(const TRQPropertyInserter &) = delete;
  TRQPropertyInserter &operator=(const TRQPropertyInserter &) = delete;

  /// Stores `value` under `name`, replacing an earlier value (the last call
  /// wins), after logging it at DEBUG. A null value stores the empty text; a
  /// null name stores nothing.
  void addProperty(const char *name, const char *value);
  /// The value stored under `name` (exact, case-sensitive match), or null
  /// when there is none; an empty value is "", never null. The characters
  /// stay valid until the same name is stored again.
  const char *getProperty(const char *name) const;
  /// Forgets the value stored under `name`, when there is one; its
  /// characters become invalid. For programs that fill the table with
  /// values of their own for a while (tests, fuzzing).
  void removeProperty(const char *name);
  /// Rewrites `text` in place: each "${name}" with a stored name is replaced
  /// by its value, which is scanned again; references to other names stay as
  /// written. A change is logged at DEBUG with the text before and after.
  void insertProperties(std::string &text) const;
  void insertProperties(I18NString &text) const;

private:
  TRQPropertyInserter();

  std::map<std::string, std::string> m_properties;

  static TRQLogger *s_logger;
};

#endif // TRQPROPERTYINSERTER_H
