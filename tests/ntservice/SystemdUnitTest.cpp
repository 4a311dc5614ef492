//===- SystemdUnitTest.cpp - Unit names and unit files for systemd --------===//
//
// The unit name of a service as `systemd-escape` makes it (compared with the
// real program where it is installed), and the unit file's text with values
// that need quoting. That systemd reads the file back unchanged is tested
// against a real systemd in ServiceControlTest.
//
//===----------------------------------------------------------------------===//
#include "systemdunit.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <cstdio>
#include <sys/wait.h>
#endif

using namespace platform;

namespace {

TEST(SystemdUnit, ServiceNamesAreEscapedAsSystemdEscapesThem) {
  EXPECT_EQ(systemdServiceUnitName("Vandix Tessel"), "Vandix\\x20Tessel.service");
  EXPECT_EQ(systemdEscape("a-b/c.d_e:f"), "a\\x2db-c.d_e:f");
  EXPECT_EQ(systemdEscape(".hidden.x"), "\\x2ehidden.x");
  EXPECT_EQ(systemdEscape("100%\\\"ü"), "100\\x25\\x5c\\x22\\xc3\\xbc");
}

#ifndef _WIN32
std::string escapedBySystemd(const std::string &name) {
  std::string command = "systemd-escape -- '" + name + "' 2>/dev/null";
  std::string text;
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe)
    return "(popen failed)";
  char buffer[1024];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    text.append(buffer, got);
  int status = pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "(systemd-escape failed)";
  if (!text.empty() && text.back() == '\n')
    text.pop_back();
  return text;
}

TEST(SystemdUnit, EscapingMatchesTheSystemdEscapeProgram) {
  if (std::system("command -v systemd-escape >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "systemd-escape is not installed";
  for (const std::string name : {"Vandix Tessel", "tsl-test_1.2:x", ".dot", "a/b//c", "Tomcat (8) 100% \"q\" \\ $x",
                                 "caf\xc3\xa9", "-lead", "x.service"})
    EXPECT_EQ(systemdEscape(name), escapedBySystemd(name)) << name;
}
#endif

TEST(SystemdUnit, TheUnitFileQuotesEveryValue) {
  SystemdUnit unit;
  unit.description = "Tessel 100% \"ready\"\nsecond line";
  unit.program = "/opt/my tessel/bin $x 50%/tslbootstrapservice";
  unit.workingDirectory = "/opt/my tessel/bin 50%";
  unit.environment = {{"TSL_SERVICE_NAME", "Vandix \"Tessel\" 100%"}, {"TSL_SERVICE_DIR", "C:\\x y"}};
  EXPECT_EQ(systemdUnitText(unit), "[Unit]\n"
                                   "Description=Tessel 100%% \"ready\" second line\n"
                                   "\n"
                                   "[Service]\n"
                                   "Type=notify\n"
                                   "NotifyAccess=main\n"
                                   "ExecStart=:\"/opt/my tessel/bin $x 50%%/tslbootstrapservice\"\n"
                                   "WorkingDirectory=/opt/my tessel/bin 50%%\n"
                                   "Environment=\"TSL_SERVICE_NAME=Vandix \\\"Tessel\\\" 100%%\"\n"
                                   "Environment=\"TSL_SERVICE_DIR=C:\\\\x y\"\n"
                                   "KillMode=mixed\n"
                                   "TimeoutStartSec=20min\n"
                                   "TimeoutStopSec=10min\n"
                                   "\n"
                                   "[Install]\n"
                                   "WantedBy=multi-user.target\n");
  std::string program;
  ASSERT_TRUE(systemdProgramOfExecStart(systemdExecStartLine(unit.program), program));
  EXPECT_EQ(program, unit.program);
  EXPECT_FALSE(systemdProgramOfExecStart("ExecStart=/bin/true", program));
  std::string name, value;
  ASSERT_TRUE(systemdEnvironmentOfLine(systemdEnvironmentLine("TSL_SERVICE_DIR", "C:\\x \"y\" 5%"), name, value));
  EXPECT_EQ(name, "TSL_SERVICE_DIR");
  EXPECT_EQ(value, "C:\\x \"y\" 5%");
  EXPECT_FALSE(systemdEnvironmentOfLine("Environment=A=b", name, value));
  EXPECT_FALSE(systemdProgramAllowed("/opt/a\\b/x"));
  EXPECT_FALSE(systemdProgramAllowed("/opt/\"a\"/x"));
  EXPECT_TRUE(systemdProgramAllowed("/opt/$a b%/x"));
  EXPECT_FALSE(systemdValueAllowed("a\nb"));
  EXPECT_TRUE(systemdValueAllowed("a b"));
}

} // namespace
