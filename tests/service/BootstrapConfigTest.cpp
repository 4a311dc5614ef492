//===- BootstrapConfigTest.cpp - Reading the bootstrap file, in process ---===//
#include "LogTestSupport.h"
#include "config/TRQPropertyInserter.h"
#include "ntservice/TRQNTService.h"
#include "rklidom.h"
#include "service/TRQBootstrapService.h"
#include "supervision/TRQChildProcess.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using logtest::factory;

RKLIDOM_Document parse(const std::string &xml) {
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document document;
  EXPECT_EQ(parser.parseBuffer(xml.data(), xml.size(), document), 1) << parser.errorString();
  return document;
}

const char *const Daemon = "<daemonSpawn><path>daemon</path></daemonSpawn>";
const char *const Child = "<process name=\"c\"><start><spawn><path>child</path></spawn></start>"
                          "<stop type=\"signal\"><signal signal=\"1\"/></stop></process>";

class BootstrapConfigTest : public logtest::LoggingTest {
protected:
  void SetUp() override {
    LoggingTest::SetUp();
    factory()->addFile(m_log.c_str(), 0);
  }
  std::string log() const { return logtest::readLog(m_log); }
  int load(TRQBootstrapService &service, const std::string &xml) {
    RKLIDOM_Document document = parse(xml);
    return service.loadBootstrapConfig(document.getDocumentElement());
  }

  std::string m_log = file("bootstrap.log");
};

TEST_F(BootstrapConfigTest, DefaultsWithoutAttributes) {
  TRQBootstrapService service;
  ASSERT_EQ(load(service, std::string("<root>") + Child + Daemon + "</root>"), 1);
  EXPECT_EQ(service.getStartupDelayMs(), 0);
  EXPECT_EQ(service.getPcpRetries(), 150);
  EXPECT_EQ(service.getPcpRetryIntervalSec(), 6);
  EXPECT_EQ(service.getReadyTestTries(), 5);
  EXPECT_EQ(service.getReadyTestIntervalSec(), 2);
  EXPECT_EQ(log().find("configured"), std::string::npos);
}

TEST_F(BootstrapConfigTest, AttributesAndTheirMessages) {
  TRQBootstrapService service;
  ASSERT_EQ(load(service, std::string("<root startupDelaySec=\"5\" pcpRetries=\"7\" pcpRetryIntervalSec=\"3\" "
                                      "pingRetries=\"9\" pingRetryIntervalSec=\"4\">") +
                              Child + Daemon + "</root>"),
            1);
  EXPECT_EQ(service.getStartupDelayMs(), 5000);
  EXPECT_EQ(service.getPcpRetries(), 7);
  EXPECT_EQ(service.getPcpRetryIntervalSec(), 3);
  EXPECT_EQ(service.getReadyTestTries(), 9);
  EXPECT_EQ(service.getReadyTestIntervalSec(), 4);
  std::string text = logtest::markHeaders(log(), "DEBUG", "TRQBootstrapService");
  for (const char *line : {"<H>configured startup delay is 5000 ms.\n",
                           "<H>configured pcp (ping child process) retries is 7.\n",
                           "<H>configured pcp (ping child process) retry interval is 3 sec.\n",
                           "<H>configured startup ping retries is 9.\n",
                           "<H>configured startup ping retry interval is 4 sec.\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << text;

  // A second load starts the ready test from its defaults again.
  ASSERT_EQ(load(service, std::string("<root>") + Child + Daemon + "</root>"), 1);
  EXPECT_EQ(service.getReadyTestTries(), 5);
  EXPECT_EQ(service.getReadyTestIntervalSec(), 2);
}

TEST_F(BootstrapConfigTest, NumbersReadLikeAtoi) {
  TRQBootstrapService service;
  ASSERT_EQ(load(service, std::string("<root startupDelaySec=\"abc\" pcpRetries=\" 12x\" pcpRetryIntervalSec=\"\">") +
                              Child + Daemon + "</root>"),
            1);
  EXPECT_EQ(service.getStartupDelayMs(), 0);
  EXPECT_EQ(service.getPcpRetries(), 12);
  EXPECT_EQ(service.getPcpRetryIntervalSec(), 6); // present but empty counts as absent
}

TEST_F(BootstrapConfigTest, NoProcessElements) {
  TRQBootstrapService service;
  EXPECT_EQ(load(service, std::string("<root>") + Daemon + "</root>"), 0);
  EXPECT_NE(logtest::markHeaders(log(), "ERROR", "TRQBootstrapService").find("<H>no process elements.\n"),
            std::string::npos)
      << log();
}

TEST_F(BootstrapConfigTest, BadProcessesAreDroppedAndTheListMayEndEmpty) {
  TRQBootstrapService service;
  ASSERT_EQ(load(service, std::string("<root><process name=\"a\"/><process name=\"b\"><start/></process>") + Daemon +
                              "</root>"),
            1);
  EXPECT_TRUE(service.getChildren().empty());
  std::string text = logtest::markHeaders(log(), "ERROR", "TRQBootstrapService");
  EXPECT_NE(text.find("<H>exception while processing configuration: \"required element \"start\" is missing.\"\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("<H>exception while processing configuration: \"required element \"spawn\" is missing.\"\n"),
            std::string::npos);
}

TEST_F(BootstrapConfigTest, ProcessesKeepDocumentOrderAtAnyDepth) {
  TRQBootstrapService service;
  std::string second = Child;
  second.replace(second.find("name=\"c\""), 8, "name=\"d\"");
  ASSERT_EQ(load(service, std::string("<root><group>") + Child + "</group>" + second + Daemon + "</root>"), 1);
  ASSERT_EQ(service.getChildren().size(), 2u);
  EXPECT_STREQ(service.getChildren()[0]->getName(), "c");
  EXPECT_STREQ(service.getChildren()[1]->getName(), "d");
}

TEST_F(BootstrapConfigTest, DaemonSpawnRequiredAndChecked) {
  TRQBootstrapService missing;
  EXPECT_EQ(load(missing, std::string("<root>") + Child + "</root>"), 0);
  EXPECT_NE(logtest::markHeaders(log(), "FATAL", "TRQBootstrapService")
                .find("<H>required element \"daemonSpawn\" is missing.\n"),
            std::string::npos);

  TRQBootstrapService invalid;
  EXPECT_EQ(load(invalid, std::string("<root>") + Child + "<daemonSpawn/></root>"), 0);
  EXPECT_NE(logtest::markHeaders(log(), "ERROR", "TRQBootstrapService")
                .find("<H>exception while processing configuration: \"TRQSpawnAction required attribute \"path\" is "
                      "missing\"\n"),
            std::string::npos)
      << log();
}

TEST_F(BootstrapConfigTest, ProcessIdFileIsOneLineAndAMissingFolderOnlyWarns) {
  TRQBootstrapService service;
  testsupport::TempDir dir;
  std::string pidFile = dir.file("logs/service.pid");
  // The logs folder does not exist yet: only the warning.
  TRQPropertyInserter::getInstance()->addProperty("configfile", (dir.path() / "none.xml").string().c_str());
  TRQPropertyInserter::getInstance()->addProperty("install_path", dir.path().string().c_str());
  EXPECT_EQ(service.OnInit(), 0); // no bootstrap file, but the process-id file name is composed
  service.writeProcessIdFile();
  EXPECT_NE(logtest::markHeaders(log(), "WARN ", "TRQBootstrapService")
                .find("<H>Process ID could not be written to file.  The tslbootstrapservice -stop command will not "
                      "work. Use 'kill -9' instead.\n"),
            std::string::npos)
      << log();

  std::filesystem::create_directories(dir.path() / "logs");
  service.writeProcessIdFile();
  service.writeProcessIdFile();
  std::string content = logtest::readLog(service.getProcessIdFileName());
  ASSERT_FALSE(content.empty());
  EXPECT_EQ(content.find('\n'), content.size() - 1);
  EXPECT_NE(log().find("Vandix Tessel Bootstrap Service running as process " + content.substr(0, content.size() - 1) +
                       "."),
            std::string::npos);
}

class FailingInit : public TRQNTService {
public:
  FailingInit() : TRQNTService("failing") {}
  int OnInit() override { return 0; }
  void Run() override { ran = true; }
  bool ran = false;
};

int neverCalled(unsigned) { return 0; }

TEST(TRQNTService, NamesAreCutToTheirFields) {
  TRQNTService service(std::string(300, 'n').c_str());
  EXPECT_EQ(std::string(service.getServiceName()), std::string(255, 'n'));
  service.setServiceClass(std::string(60, 'c').c_str());
  EXPECT_EQ(std::string(service.getServiceClass()), std::string(49, 'c'));
  service.setServiceName(nullptr);
  EXPECT_STREQ(service.getServiceName(), "");
  EXPECT_EQ(service.getExitCode(), 0u);
  EXPECT_EQ(service.getStatus().dwCurrentState, 1u);
  EXPECT_EQ(service.getStatus().dwServiceType, 16u);
  EXPECT_EQ(service.getStatus().dwControlsAccepted, 1u);
  EXPECT_EQ(TRQNTService::getService(), &service);
}

TEST(TRQNTService, ConsoleRunWhoseInitFailsReturnsAtOnce) {
  FailingInit service;
  service.setExitCode(7);
  service.consoleRun(&neverCalled);
  EXPECT_FALSE(service.ran);
  EXPECT_EQ(service.isRunning(), 0);
  EXPECT_EQ(service.getExitCode(), 7u);
}

TEST(TRQBootstrapService, UserControlAndName) {
  TRQBootstrapService service;
  EXPECT_STREQ(service.getServiceName(), "Vandix Tessel");
  EXPECT_EQ(service.OnUserControl(128), 1);
  EXPECT_EQ(service.OnUserControl(129), 0);
}

} // namespace
