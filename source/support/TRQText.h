//===- TRQText.h - Numbers read from configuration texts, atoi-style ------===//
//
// Every number that the service takes from configuration (XML attributes,
// properties, substituted texts) is read with the rules of the C library's
// atoi, so that a text that is not a number reads as 0. This one reader
// keeps those rules the same everywhere and makes them safe: atoi itself has
// undefined behaviour when the value does not fit.
//
//===----------------------------------------------------------------------===//
#ifndef TRQTEXT_H
#define TRQTEXT_H

#include <string>

class TRQText {
public:
  /// Leading blanks (space, tab, newline, vertical tab, form feed, carriage
  /// return) are skipped, then an optional '+' or '-', then decimal digits
  /// up to the first other character. No digits (or a null text) give 0. A
  /// value beyond the range of int is clamped to INT_MAX or INT_MIN.
  static int toInt(const char *text);
  static int toInt(const std::string &text) { return toInt(text.c_str()); }
};

#endif // TRQTEXT_H
