//===- systemdunit.cpp - Unit names and unit files of systemd --------------===//
#include "systemdunit.h"

#include <cstdio>

namespace platform {

namespace {
bool plainUnitChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' || c == '_' ||
         c == '.';
}

std::string hexEscape(unsigned char c) {
  char text[8];
  std::snprintf(text, sizeof text, "\\x%02x", static_cast<unsigned>(c));
  return text;
}

// systemd expands "%" specifiers in every value it reads.
std::string withoutSpecifiers(const std::string &text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%')
      out += '%';
  }
  return out;
}

// One word in double quotes, which systemd unquotes and C-unescapes.
std::string quotedWord(const std::string &text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"')
      out += '\\';
    out += c;
    if (c == '%')
      out += c;
  }
  return out + "\"";
}

std::string blanksForControls(const std::string &text) {
  std::string out = text;
  for (char &c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      c = ' ';
  return out;
}
} // namespace

std::string systemdEscape(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '/')
      out += '-';
    else if (plainUnitChar(c) && !(i == 0 && c == '.'))
      out += static_cast<char>(c);
    else
      out += hexEscape(c);
  }
  return out;
}

std::string systemdServiceUnitName(const std::string &serviceName) { return systemdEscape(serviceName) + ".service"; }

bool systemdValueAllowed(const std::string &text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      return false;
  return true;
}

std::string systemdEnvironmentLine(const std::string &name, const std::string &value) {
  return "Environment=" + quotedWord(name + "=" + value);
}

std::string systemdDescriptionLine(const std::string &description) {
  return "Description=" + withoutSpecifiers(blanksForControls(description));
}

bool systemdProgramAllowed(const std::string &program) {
  return systemdValueAllowed(program) && program.find_first_of("\\\"'") == std::string::npos;
}

// ":" keeps systemd from taking a "$" in the path for a variable.
std::string systemdExecStartLine(const std::string &program) { return "ExecStart=:" + quotedWord(program); }

namespace {
// The word in double quotes that starts `line` after `prefix`, as
// quotedWord wrote it.
bool unquotedWord(const std::string &line, const std::string &prefix, std::string &word) {
  if (line.compare(0, prefix.size(), prefix) != 0)
    return false;
  word.clear();
  for (size_t i = prefix.size(); i < line.size(); ++i) {
    char c = line[i];
    if (c == '"')
      return i + 1 == line.size();
    if (c == '\\' && i + 1 < line.size())
      c = line[++i];
    else if (c == '%' && i + 1 < line.size() && line[i + 1] == c)
      ++i;
    word += c;
  }
  return false;
}
} // namespace

bool systemdProgramOfExecStart(const std::string &line, std::string &program) {
  return unquotedWord(line, "ExecStart=:\"", program);
}

bool systemdEnvironmentOfLine(const std::string &line, std::string &name, std::string &value) {
  std::string assignment;
  if (!unquotedWord(line, "Environment=\"", assignment))
    return false;
  size_t equals = assignment.find('=');
  if (equals == std::string::npos || equals == 0)
    return false;
  name = assignment.substr(0, equals);
  value = assignment.substr(equals + 1);
  return true;
}

std::string systemdUnitText(const SystemdUnit &unit) {
  std::string text = "[Unit]\n" + systemdDescriptionLine(unit.description) + "\n\n[Service]\nType=notify\n" +
                     "NotifyAccess=main\n" + systemdExecStartLine(unit.program) + "\n" +
                     "WorkingDirectory=" + withoutSpecifiers(unit.workingDirectory) + "\n";
  for (const auto &variable : unit.environment)
    text += systemdEnvironmentLine(variable.first, variable.second) + "\n";
  // SIGTERM to the service alone: it stops its children in their order. What
  // is left gets SIGKILL only after the stop timeout. The service reports
  // its pending states (EXTEND_TIMEOUT_USEC=) while its own waits last.
  text += "KillMode=mixed\nTimeoutStartSec=20min\nTimeoutStopSec=10min\n\n[Install]\nWantedBy=multi-user.target\n";
  return text;
}

} // namespace platform
