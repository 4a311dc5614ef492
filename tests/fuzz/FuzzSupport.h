//===- FuzzSupport.h - What the fuzz targets share ------------------------===//
//
// Every target is one LLVMFuzzerTestOneInput that feeds its input through
// the service's own code. The targets that read files work in one temporary
// installation (bin, configuration, logs, temp) made on first use, with the
// bin folder as the current directory, as the service has it; the folder is
// removed when the program ends normally. Since the current directory
// changes, the fuzzer must be given absolute paths.
//
//===----------------------------------------------------------------------===//
#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fuzzsupport {

/// The installation's root (made on the first call, which also enters its
/// bin folder).
const std::string &installation();
/// A path below the installation's root.
std::string path(const std::string &relative);
/// Writes the bytes to `file`, replacing it; aborts when that fails, since a
/// target that cannot lay out its input tests nothing.
void writeFile(const std::string &file, const uint8_t *data, size_t size);
void writeFile(const std::string &file, const std::string &text);
/// The input cut at every `separator`; n separators give n + 1 parts.
std::vector<std::string> split(const uint8_t *data, size_t size, char separator);
/// `text` as the value of an XML attribute in double quotes: markup
/// characters as references, control characters left out, bytes from 0x80
/// up as the characters of the same number.
std::string xmlAttribute(const std::string &text);
/// Stops the program as a finding: the message on standard error, then
/// abort(), which the fuzzer reports with the input.
[[noreturn]] void finding(const std::string &message);

} // namespace fuzzsupport

#endif // FUZZSUPPORT_H
