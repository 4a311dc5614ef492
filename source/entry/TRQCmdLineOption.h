//===- TRQCmdLineOption.h - One token of the command line, name and value -===//
//
// A token "name=value" is split at its first '='; any other token is a name
// without a value. The leading dash belongs to the name, and names are not
// declared anywhere: whatever the user typed is kept, and only the lookups of
// TRQCmdLine give it a meaning.
//
//===----------------------------------------------------------------------===//
#ifndef TRQCMDLINEOPTION_H
#define TRQCMDLINEOPTION_H

#include <memory>
#include <string>

class TRQCmdLineOption {
public:
  /// Parses one token (see above). A null token gives an empty name and no
  /// value.
  explicit TRQCmdLineOption(const char *token);
  /// An option with `name` and a copy of `value` (null: no value).
  TRQCmdLineOption(const char *name, const char *value);

  /// Copies hold their own copy of the value.
  TRQCmdLineOption(const TRQCmdLineOption &other);
  TRQCmdLineOption &operator=(const TRQCmdLineOption &other);
  TRQCmdLineOption(TRQCmdLineOption &&other) noexcept = default;
  TRQCmdLineOption &operator=(TRQCmdLineOption &&other) noexcept = default;
  ~TRQCmdLineOption();

  /// The part before the first '=', or the whole token; may be empty.
  const char *getName() const { return m_name.c_str(); }
  /// The part after the first '=' (empty for a token ending in '='), or null
  /// when the token had no '='.
  const char *getValue() const { return m_value.get(); }
  /// 1 when the token had a '=', else 0.
  int hasValue() const { return m_value ? 1 : 0; }
  /// 1 when the value is not empty and consists of decimal digits only (a
  /// sign is not a digit); 0 otherwise.
  int isNumeric() const;

private:
  static std::unique_ptr<char[]> copyText(const char *text);

  std::string m_name;
  std::unique_ptr<char[]> m_value;
};

#endif // TRQCMDLINEOPTION_H
