//===- StartupPropertiesTest.cpp - The startup configuration as properties ===//
//
// initTRQElement and readStartupConfig over temporary installation trees with
// their own tslstartup.xml, and findServiceHome over the parameters that the
// installation recorded (the registry on Windows, the unit's environment on
// Linux).
//
//===----------------------------------------------------------------------===//
#include "ConfigTestSupport.h"
#include "service/TRQBootstrapService.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

using configtest::InstallationTest;
using configtest::properties;
using configtest::property;
using configtest::Untouched;

std::string parameter(const char *name, const char *type, const char *value) {
  return std::string("    <vtn:parameter name=\"") + name + "\"><vtn:value xsi:type=\"" + type + "\">" + value +
         "</vtn:value></vtn:parameter>\n";
}

std::string instance(const char *name, const char *serviceClass) {
  return std::string("    <vtn:instances name=\"trq\"><vtn:instance name=\"") + name + "\" class=\"" + serviceClass +
         "\"/></vtn:instances>\n";
}

std::string element(const char *name, const std::string &text) {
  return std::string("  <") + name + ">" + text + "</" + name + ">\n";
}

/// Keeps an environment variable's value across a test.
class SavedVariable {
public:
  explicit SavedVariable(const char *name) : m_name(name) {
    const char *value = std::getenv(name);
    m_had = value != nullptr;
    m_value = value ? value : "";
  }
  ~SavedVariable() { rklPutenv((m_name + "=" + (m_had ? m_value : "")).c_str()); }
  void set(const std::string &value) const { rklPutenv((m_name + "=" + value).c_str()); }

private:
  std::string m_name;
  bool m_had;
  std::string m_value;
};

class StartupProperties : public InstallationTest {
protected:
  /// initTRQElement and, when it finds the section, readStartupConfig, with
  /// the property serviceClass as a command line would have left it.
  int start(const char *serviceClass) {
    properties()->addProperty("serviceClass", serviceClass);
    TRQBootstrapService service;
    int found = service.initTRQElement();
    if (found == 1)
      service.readStartupConfig();
    return found;
  }
};

TEST_F(StartupProperties, SettingsBecomeProperties) {
  SavedVariable javaHome("JAVA_HOME"), noRestart("DOLV_NORESTART");
  javaHome.set("");
  noRestart.set("1");
  useStartupConfiguration(element("temp", "../newtemp/sub") + element("hostName", "host.example") +
                          element("gateway", "http://gw/x") + element("webServiceURI", "http://ws/y") +
                          "  <webServicePingPath/>\n" + element("internalDispatcher", "tls://localhost:9301/d") +
                          element("networkConfiguration", "IPv6") + "  <TRQ>\n" + instance("", "Tomcat") +
                          parameter("dispatcherStopWaitTime", "xsd:unsignedShort", "60") +
                          parameter("dispatcherPingTimeout", "xsd:unsignedShort", "30") +
                          parameter("dispatcherMaxMemory", "xsd:unsignedInt", "1000") +
                          parameter("shutdownPort", "xsd:unsignedShort", "9399") + "  </TRQ>\n");
  // An empty class from the command line does not count.
  ASSERT_EQ(start(""), 1);

  EXPECT_EQ(property("CRLF"), "\n");
  EXPECT_EQ(property("java_home"), testsupport::isWindows() ? "..\\vandix-jre\\jre" : "../vandix-jre/jre");
  EXPECT_EQ(property("DOLV_NORESTART"), "1");
  EXPECT_EQ(property("serviceClass"), "Tomcat");
  EXPECT_EQ(property("dispatcherStopWaitTime"), "60");
  EXPECT_EQ(property("dispatcherPingTimeout"), "30");
  EXPECT_EQ(property("dispatcherMaxMemory"), "1000");
  EXPECT_EQ(property("dispatcherMaxMemoryBy2"), "500");
  EXPECT_EQ(property("dispatcherMaxMemoryBy3"), "333");
  EXPECT_EQ(property("dispatcherMaxMemoryBy4"), "250");
  EXPECT_EQ(property("shutdownPort"), "9399");
  // Joined as written, the two dots included, and created.
  std::string temp = RKLFmDir::joinPath(RKLFmDir::currentDirectory().c_str(), "../newtemp/sub");
  EXPECT_EQ(property("temp"), temp);
  EXPECT_TRUE(fs::is_directory(path("newtemp/sub")));
  EXPECT_TRUE(logHas("temp directory \"../newtemp/sub\" is relative path, resolve it to absolute path.")) << log();
  EXPECT_TRUE(logHas("WARN  t[")) << log();
  EXPECT_TRUE(logHas("Temp directory \"" + temp + "\" does not exist, will try to create.\n"));
  EXPECT_TRUE(logHas("Temp directory \"" + temp + "\" was created successfully.\n"));
  EXPECT_EQ(property("hostName"), "host.example");
  EXPECT_EQ(property("gatewayURI"), "http://gw/x");
  EXPECT_EQ(property("webServiceURI"), "http://ws/y");
  EXPECT_EQ(property("webServicePingPath"), "");
  EXPECT_EQ(property("dispatcherURI"), "tls://localhost:9301/d");
  EXPECT_EQ(property("contentManagerURI"), "tls://localhost:9301/d");
  EXPECT_EQ(property("dispatcherPort"), "9301");
  EXPECT_EQ(property("serviceName"), "Vandix Tessel:9301");
  EXPECT_EQ(property("ip_protocol"), "IPv6");
  EXPECT_EQ(property("java_vendor"), "");
  EXPECT_TRUE(logHas("find \"TRQ\" element in bootstrap config (via CFGAPI).\n"));

  // The same folder a second time is only confirmed.
  ASSERT_EQ(start(""), 1);
  EXPECT_TRUE(logHas("Confirmed that temp directory \"" + temp + "\" does exist.\n"));
}

TEST_F(StartupProperties, ServiceClassChoosesSectionAndShutdownPort) {
  SavedVariable javaHome("JAVA_HOME");
  javaHome.set("/opt/some jre");
  const std::string shutdown = parameter("shutdownPort", "xsd:unsignedShort", "9399");
  useStartupConfiguration(element("temp", "../temp") + "  <TRQ>\n" + instance("", "Tomcat") + shutdown +
                          parameter("dispatcherMaxMemory", "xsd:unsignedInt", "1000") + "  </TRQ>\n  <SGW>\n" +
                          instance("", "Other") + shutdown + parameter("dispatcherMaxMemory", "xsd:unsignedInt", "7") +
                          "  </SGW>\n");

  properties()->addProperty("shutdownPort", Untouched);
  ASSERT_EQ(start("HarborLite"), 1);
  EXPECT_EQ(property("serviceClass"), "HarborLite");
  EXPECT_EQ(property("shutdownPort"), Untouched);
  EXPECT_EQ(property("java_home"), "/opt/some jre");
  EXPECT_TRUE(logHas("initTRQElement() - serviceClass is \"HarborLite\".\n")) << log();

  ASSERT_EQ(start("VazavedIdivozo"), 1);
  EXPECT_TRUE(logHas("find \"SGW\" element in bootstrap config (via CFGAPI).\n")) << log();
  EXPECT_EQ(property("serviceClass"), "VazavedIdivozo");
  EXPECT_EQ(property("shutdownPort"), Untouched);
  EXPECT_EQ(property("dispatcherMaxMemoryBy2"), "3");
  EXPECT_EQ(property("dispatcherMaxMemoryBy3"), "2");
  EXPECT_EQ(property("dispatcherMaxMemoryBy4"), "1");

  ASSERT_EQ(start("Tomcat"), 1);
  EXPECT_EQ(property("shutdownPort"), "9399");

  // A configuration without the section.
  useStartupConfiguration(element("temp", "../temp"));
  EXPECT_EQ(start("Tomcat"), 0);
  EXPECT_TRUE(logHas("ERROR t[")) << log();
  EXPECT_TRUE(logHas("failed to find \"TRQ\" element in bootstrap config (via CFGAPI)\n")) << log();
}

TEST_F(StartupProperties, ParametersAreFoundByNameAndType) {
  useStartupConfiguration(element("temp", "../temp") + "  <TRQ>\n" +
                          parameter("dispatcherMaxMemory", "xsd:string", "1000") +
                          "    <vtn:parameter name=\"dispatcherStopWaitTime\"><vtn:value xsi:type=\"xsd:unsignedShort\">"
                          "</vtn:value></vtn:parameter>\n"
                          "    <vtn:parameter name=\"dispatcherPingTimeout\"><vtn:value xsi:type=\"xsd:unsignedShort\">"
                          "<!-- c -->12</vtn:value></vtn:parameter>\n" +
                          "  </TRQ>\n");
  properties()->addProperty("dispatcherMaxMemory", Untouched);
  properties()->addProperty("dispatcherStopWaitTime", Untouched);
  properties()->addProperty("dispatcherPingTimeout", Untouched);
  properties()->addProperty("shutdownPort", Untouched);
  ASSERT_EQ(start(""), 1);
  EXPECT_EQ(property("dispatcherMaxMemory"), Untouched);
  EXPECT_EQ(property("dispatcherStopWaitTime"), Untouched);
  EXPECT_EQ(property("dispatcherPingTimeout"), Untouched);
  EXPECT_EQ(property("shutdownPort"), Untouched);
  EXPECT_TRUE(logHas("Failed to find value of type \"xsd:unsignedInt\" for parameter named \"dispatcherMaxMemory\".\n"))
      << log();
  EXPECT_TRUE(logHas("Failed to find parameter \"shutdownPort\" in startup config TRQ element.\n"));
  // An empty value and a value that does not start with its text are absent,
  // without a message.
  EXPECT_FALSE(logHas("\"dispatcherStopWaitTime\""));
  EXPECT_FALSE(logHas("\"dispatcherPingTimeout\""));
  // No instance: an empty class and the product's name.
  EXPECT_EQ(property("serviceClass"), "");
  EXPECT_EQ(property("serviceName"), "Vandix Tessel");

  TRQBootstrapService service;
  ASSERT_EQ(service.initTRQElement(), 1);
  I18NString value("kept");
  EXPECT_EQ(service.getStartupParameter(value, "dispatcherMaxMemory", "xsd:unsignedInt"), 0);
  EXPECT_EQ(value, "kept");
  EXPECT_EQ(service.getStartupParameter(value, "dispatcherMaxMemory", "xsd:string"), 1);
  EXPECT_EQ(value, "1000");
}

TEST_F(StartupProperties, TemporaryFolder) {
  const std::string section = "  <TRQ/>\n";
  useStartupConfiguration(element("temp", "tmpdir") + section);
  ASSERT_EQ(start(""), 1);
  EXPECT_EQ(property("temp"), "tmpdir");
  EXPECT_TRUE(fs::is_directory(path("bin/tmpdir")));
  EXPECT_TRUE(logHas("temp directory \"tmpdir\" is NOT relative path.\n")) << log();

  std::string absolute = path("absolute/temp").string();
  useStartupConfiguration(element("temp", absolute) + section);
  ASSERT_EQ(start(""), 1);
  EXPECT_EQ(property("temp"), absolute);
  EXPECT_TRUE(fs::is_directory(absolute));

  // A file stands where the folder should be made.
  testsupport::writeFile(path("blocker"), "x");
  std::string blocked = path("blocker").string() + RKLFmDir::separator() + "sub";
  useStartupConfiguration(element("temp", blocked) + section);
  ASSERT_EQ(start(""), 1);
  EXPECT_EQ(property("temp"), blocked);
  EXPECT_TRUE(logHas("FATAL t[")) << log();
  EXPECT_TRUE(logHas("Failed to create temp directory \"" + blocked + "\".\n")) << log();

  useStartupConfiguration(section);
  ASSERT_EQ(start(""), 1);
  EXPECT_TRUE(logHas("The startup configuration has no \"temp\" element.\n")) << log();
  EXPECT_TRUE(logHas("The startup configuration has no \"internalDispatcher\" element.\n")) << log();
  EXPECT_EQ(property("temp"), "");
  EXPECT_EQ(property("dispatcherURI"), "");
  EXPECT_EQ(property("dispatcherPort"), "9300");
}

TEST_F(StartupProperties, DispatcherPortServiceNameAndNetwork) {
  struct Case {
    const char *uri;
    const char *instanceName;
    const char *prefs; // null: no product configuration file
    const char *network;
    const char *port;
    const char *serviceName;
    const char *ipProtocol;
  };
  const Case cases[] = {
      {"tls://localhost:9300/dispatcher", "", nullptr, "IPv4", "9300", "Vandix Tessel", "IPv4"},
      {"tls://localhost:9301/dispatcher", "", nullptr, "ipv6", "9301", "Vandix Tessel:9301", Untouched},
      {"tls://[::1]:9302/dispatcher", "Second", nullptr, "IPv6 ", "9302", "Second:9302", Untouched},
      {"server:9400", "", nullptr, "", "9400", "Vandix Tessel:9400", Untouched},
      {"tls://localhost:9401", "", nullptr, "IPv6", "9401", "Vandix Tessel:9401", "IPv6"},
      {"tls://localhost/dispatcher", "", nullptr, "", "9300", "Vandix Tessel", Untouched},
      {"tls://[::1/dispatcher", "", nullptr, "", "9300", "Vandix Tessel", Untouched},
      {"tls://localhost:9301/d", "", "EnableCustomServiceNames=true\n", "", "9301", "Vandix Tessel", Untouched},
      {"tls://localhost:9301/d", "", "#EnableCustomServiceNames=true\n", "", "9301", "Vandix Tessel:9301", Untouched},
      {"tls://localhost:9301/d", "", "true EnableCustomServiceNames\n", "", "9301", "Vandix Tessel:9301", Untouched},
      {"tls://localhost:9301/d", "", "a=1\r\n\r\n  EnableCustomServiceNames = true\r\nEnableCustomServiceNames=false\n",
       "", "9301", "Vandix Tessel", Untouched},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.uri) + " / " + (c.prefs ? c.prefs : "no prefs"));
    fs::remove(path("configuration/tslconfig.prefs"));
    if (c.prefs)
      testsupport::writeFile(path("configuration/tslconfig.prefs"), c.prefs);
    useStartupConfiguration(element("temp", "../temp") + element("internalDispatcher", c.uri) +
                            element("networkConfiguration", c.network) + "  <TRQ>\n" + instance(c.instanceName, "") +
                            "  </TRQ>\n");
    properties()->addProperty("ip_protocol", Untouched);
    ASSERT_EQ(start(""), 1);
    EXPECT_EQ(property("dispatcherURI"), c.uri);
    EXPECT_EQ(property("dispatcherPort"), c.port);
    EXPECT_EQ(property("serviceName"), c.serviceName);
    EXPECT_EQ(property("ip_protocol"), c.ipProtocol);
  }
}

//===--- The service's home as the installation recorded it --------------===//

/// Records parameters for a service the way its installation does, and
/// removes them again.
class RecordedParameters {
public:
  explicit RecordedParameters(const std::string &serviceName) : m_serviceName(serviceName) {}
  ~RecordedParameters() { remove(); }

  bool record(const std::string &directory, const std::string &serviceClass) {
#ifdef _WIN32
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, (servicePath() + "\\Parameters").c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
      return false;
    bool ok = RegSetValueExA(key, "CurrentWorkingDir", 0, REG_SZ, reinterpret_cast<const BYTE *>(directory.c_str()),
                             static_cast<DWORD>(directory.size() + 1)) == ERROR_SUCCESS &&
              RegSetValueExA(key, "ServiceClass", 0, REG_SZ, reinterpret_cast<const BYTE *>(serviceClass.c_str()),
                             static_cast<DWORD>(serviceClass.size() + 1)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
#else
    return rklPutenv(("TSL_SERVICE_NAME=" + m_serviceName).c_str()) == 1 &&
           rklPutenv(("TSL_SERVICE_DIR=" + directory).c_str()) == 1 &&
           rklPutenv(("TSL_SERVICE_CLASS=" + serviceClass).c_str()) == 1;
#endif
  }

  void remove() {
#ifdef _WIN32
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, servicePath().c_str());
#else
    for (const char *name : {"TSL_SERVICE_NAME=", "TSL_SERVICE_DIR=", "TSL_SERVICE_CLASS="})
      rklPutenv(name);
#endif
  }

private:
  std::string servicePath() const { return "SYSTEM\\CurrentControlSet\\Services\\" + m_serviceName; }
  std::string m_serviceName;
};

TEST_F(StartupProperties, ServiceHomeFromTheRecordedParameters) {
  const std::string name = "TslHomeTest" + std::to_string(std::rand() % 100000);
  RecordedParameters recorded(name);
  fs::create_directories(path("home/bin"));
  const std::string home = path("home/bin").string();
  ASSERT_TRUE(recorded.record(home, "HomeClass"));

  TRQBootstrapService service;
  service.setServiceName(name.c_str());
  service.findServiceHome();
  EXPECT_TRUE(fs::equivalent(RKLFmDir::currentDirectory(), home));
  EXPECT_EQ(service.getBinPath(), home);
  EXPECT_EQ(service.getInstallPath(), home + RKLFmDir::separator() + "..");
  EXPECT_STREQ(service.getServiceClass(), "HomeClass");
  EXPECT_EQ(property("bin_path"), home);
  EXPECT_EQ(property("install_path"), home + RKLFmDir::separator() + "..");
  EXPECT_EQ(property("serviceClass"), "HomeClass");
  EXPECT_TRUE(std::regex_search(
      log(), std::regex(logtest::headerPattern("INFO ", "TRQBootstrapService::findServiceHome") +
                        logtest::regexEscape("chdir to " + home) + "\n")))
      << log();

  // 49 characters fit, 50 do not: the class is then empty and not stored.
  ASSERT_TRUE(recorded.record(home, std::string(49, 'c')));
  service.findServiceHome();
  EXPECT_EQ(std::string(service.getServiceClass()), std::string(49, 'c'));
  properties()->addProperty("serviceClass", Untouched);
  ASSERT_TRUE(recorded.record(home, std::string(50, 'c')));
  service.findServiceHome();
  EXPECT_STREQ(service.getServiceClass(), "");
  EXPECT_EQ(property("serviceClass"), Untouched);

  // Nothing recorded for this service: the fields stay, and are stored.
  recorded.remove();
  ASSERT_EQ(RKLFmDir::changeDirectory(bin().c_str()), 1);
  service.setBinPath("kept-bin");
  service.setInstallPath("kept-install");
  service.findServiceHome();
  EXPECT_TRUE(fs::equivalent(RKLFmDir::currentDirectory(), bin()));
  EXPECT_EQ(property("bin_path"), "kept-bin");
  EXPECT_EQ(property("install_path"), "kept-install");
}

} // namespace
