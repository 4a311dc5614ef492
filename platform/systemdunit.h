//===- systemdunit.h - Unit names and unit files of systemd ----------------===//
//
// The text that systemd reads: a unit name made from any service name with
// systemd's escaping (the same as `systemd-escape`), and the lines of the
// service's unit file with every value quoted so that systemd reads it back
// unchanged (blanks, quotes, backslashes, `%` specifiers, `$` variables).
// Pure text; what is done with it is the service manager's business.
//
//===----------------------------------------------------------------------===//
#ifndef SYSTEMDUNIT_H
#define SYSTEMDUNIT_H

#include <string>
#include <utility>
#include <vector>

namespace platform {

/// `text` escaped as `systemd-escape` escapes it: "/" becomes "-", ASCII
/// letters, digits, ":", "_" and "." (but a leading ".") stay, every other
/// byte becomes "\xNN".
std::string systemdEscape(const std::string &text);
/// The unit name of the service `serviceName`: escaped, with ".service".
std::string systemdServiceUnitName(const std::string &serviceName);

/// The longest unit name that systemd takes.
constexpr size_t SystemdUnitNameMax = 255;

/// What the unit file of a service says.
struct SystemdUnit {
  std::string description;
  std::string program;          ///< run without arguments
  std::string workingDirectory; ///< the program's folder
  std::vector<std::pair<std::string, std::string>> environment;
};

/// The whole unit file: a Type=notify service that systemd stops by SIGTERM
/// to the program alone (which stops its children itself), with start and
/// stop timeouts longer than the program's own waits, wanted by
/// multi-user.target once enabled.
std::string systemdUnitText(const SystemdUnit &unit);

/// The line "Environment=..." that sets `name` to `value`.
std::string systemdEnvironmentLine(const std::string &name, const std::string &value);
/// The line "Description=...".
std::string systemdDescriptionLine(const std::string &description);
/// The variable and its value of an "Environment=..." line as
/// systemdEnvironmentLine wrote it; false when `line` is not one.
bool systemdEnvironmentOfLine(const std::string &line, std::string &name, std::string &value);
/// True when systemd takes `program` as the path of a program to run: no
/// control characters, backslashes or quotes.
bool systemdProgramAllowed(const std::string &program);
/// The line "ExecStart=..." that runs `program` without arguments.
std::string systemdExecStartLine(const std::string &program);
/// The program of an "ExecStart=" line as systemdExecStartLine wrote it;
/// false when `line` is not one.
bool systemdProgramOfExecStart(const std::string &line, std::string &program);

/// True when systemd can take `text` as a value of a unit file line: no
/// line breaks or other control characters.
bool systemdValueAllowed(const std::string &text);

} // namespace platform

#endif // SYSTEMDUNIT_H
