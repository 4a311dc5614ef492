//===- TRQArgVector.h - The argument list of a spawned program ------------===//
//
// An argv-style list of heap copies (malloc/free) that the vector owns: the
// spawn action puts the program path first, addParams appends the values of
// the `param` elements whose conditions hold, and a null entry closes the
// list. A `param` may carry up to ten conditions, each comparing a
// substituted expression with a literal, textually.
//
// Condition slots and their attributes (name / operator / value):
//   slot 0: condName  condOp  condValue
//   slot k, k = 1..9: condName<k-1> condOp<k-1> condValue<k-1>
// Slots 0 and 1 are optional each on its own; from slot 2 on the scan stops at
// the first slot without a name, so those slots must be contiguous. There is
// no "condName9".
//
//===----------------------------------------------------------------------===//
#ifndef TRQARGVECTOR_H
#define TRQARGVECTOR_H

#include "rklcore.h"
#include "rklidom.h"

#include <vector>

class TRQLogger;

/// Sets `out` to the value of the last non-empty text child of `e` (text is
/// neither joined nor trimmed; text in nested elements, comments and CDATA
/// sections does not count). `out` is unchanged when there is no such child.
void readElementText(RKLIDOM_Element e, I18NString &out);

class TRQArgVector : public std::vector<char *> {
public:
  TRQArgVector();
  /// Frees every entry, then the storage.
  virtual ~TRQArgVector();
  TRQArgVector(const TRQArgVector &) = delete;
  TRQArgVector &operator=(const TRQArgVector &) = delete;

  /// Appends a heap copy of `s`; a null `s`, or a copy that cannot be
  /// allocated, appends a null entry.
  void addArg(const char *s);
  /// Appends the null entry that ends the list.
  void addTerminator();
  /// Appends, in document order, the substituted text of every `param`
  /// element below `action` (at any depth) whose conditions all hold, and
  /// logs each at DEBUG. Conditions compare bytes as unsigned values, the
  /// shorter text being the smaller when one begins the other; operators
  /// "eq", "gt", "gteq", "lt", "lteq" (exact words), anything else is
  /// equality. A slot whose substituted name or whose value is empty is
  /// ignored.
  void addParams(RKLIDOM_Element action);
  /// Frees every non-null entry once and empties the list; the storage stays.
  void clear();

private:
  static TRQLogger *s_logger;
};

#endif // TRQARGVECTOR_H
