//===- ConsoleTest.cpp - Usage texts, the console and the logging section --===//
//
// The program is run for real in a temporary installation. On Linux the
// console is standard error, so its texts are read back from a file, and the
// pause is shown with a pseudo-terminal as standard input. Under Wine the
// console that the program makes is a console without a window (there is no
// display), whose screen no other process can read and whose input ends at
// once; there the texts are checked in-process and the runs only for their
// outcome.
//
//===----------------------------------------------------------------------===//
#include "LogTestSupport.h"
#include "TestProcess.h"
#include "TestSupport.h"
#include "entry/TRQConsole.h"
#include "rklcore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using testsupport::binDir;
using testsupport::exeName;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::TestProcess;
using testsupport::writeFile;

namespace {

std::string service() { return (binDir() / exeName("tslbootstrapservice")).string(); }

std::string join(const std::vector<const char *> &pieces) {
  std::string text;
  for (const char *piece : pieces)
    text += piece;
  return text;
}

const std::string serviceUsage = join({
    "\nManage the Vandix Tessel Bootstrap Service.",
    "\n\nBy default the service name is determined from startup configuration,\n",
    "but may be overriden by -name.\n\n",
    "Note that on Windows TRQ operates invisibly, with no console window \n",
    "unless -console is specified.  -help, -d and -v are exceptions: they\n",
    "always open a console.\n\n",
    "The option -stdoutLog=DEBUG|INFO|WARN|ERROR|FATAL is optional for all\n",
    "flavours of the command line.  It causes log messages that describe the\n",
    "actvities of TRQ to be written to stdout.\n\n",
    "Usage: \n\n",
    "\ttslbootstrapservice -i[a|m] [-name=serviceName] [-console]\n",
    "\t\tInstall as service.  Service is automatically started (-i or -ia)\n",
    "\t\tor manually (-im).\n",
    "\n",
    "\ttslbootstrapservice -u [-name=serviceName] [-console]\n",
    "\t\tUninstall the service.\n",
    "\n",
    "\ttslbootstrapservice -isRegistered [-name=serviceName] [-console]\n",
    "\t\tTest if the service is installed.\n",
    "\t\tExit code is 0 if the service is not installed, otherwise\n",
    "\t\tis the numeric value of the \"Start\" parameter:\n",
    "\t\t\t2 - auto, 3 - manual, 4 - disabled.\n",
    "\n",
    "\ttslbootstrapservice -start [-name=serviceName] [-timeLimitSec=nn] [-console]\n",
    "\t\tStart the service.  Note that the operation blocks until the\n",
    "\t\tservice is started or the specified time limit is reached.\n",
    "\n",
    "\ttslbootstrapservice -stop [-name=serviceName] [-timeLimitSec=nn] [-console]\n",
    "\t\tStop the service.  Note that the operation blocks until the\n",
    "\t\tservice is stopped or the specified time limit is reached.\n",
    "\n",
    "\ttslbootstrapservice -restart [-name=serviceName] [-timeLimitSec=nn] [-console]\n",
    "\t\tRestart the service.  Note that the operation blocks until the\n",
    "\t\tservice is restarted or the specified time limit is reached.\n",
    "\n",
    "\ttslbootstrapservice -isrunning [-name=serviceName] [-console]\n",
    "\t\tTest is the service is running.  Exit code of 0 indicates that\n",
    "\t\tthe service is running.\n",
    "\n",
    "\ttslbootstrapservice -d\n",
    "\t\tRun the service as a console application.\n",
});

const std::string daemonUsage = join({
    "\ntslbootstrapservice - manage the Vandix Tessel Bootstrap Service daemon.\n",
    "\t-java_home is required unless the environment variable JAVA_HOME variable is defined.\n\n",
    "Usage:\n\n",
    "\ttslbootstrapservice -start [-testReadyTries=20] [-testReadyInterval=6] -install_root=... [-java_home=...]\n",
    "\t\tspawn a trq child process. Waits until the child process is ready,\n",
    "\t\tpolling it at intervals until it reports it is ready.  The number of\n",
    "\t\tpolls and the interval (seconds) can be specified by -testReadyTries\n",
    "\t\tand -testReadyInterval (defaults are as shown).\n",
    "\n",
    "\ttslbootstrapservice -stop [-testDeadTries=20] [-testDeadInterval=6] -install_root=... [-java_home=...]\n",
    "\t\tStop the trq child process. Waits until the child process is dead,\n",
    "\t\tchecking at intervals.  The number of checks and the interval (seconds)\n",
    "\t\tcan be specified by -testDeadTries and -testDeadInterval (defaults are as shown).\n",
    "\n",
    "\ttslbootstrapservice -restart [-testDeadTries=20] [-testDeadInterval=6] [-testReadyTries=20] "
    "[-testReadyInterval=6] -install_root=... [-java_home=...]\n",
    "\t\tRestart the trq child process. Waits until the child process is dead first,\n",
    "\t\tchecking at intervals.  The number of checks and the interval (seconds)\n",
    "\t\tcan be specified by -testDeadTries and -testDeadInterval (defaults are as shown).\n",
    "\t\tAnd then spawn the trq child process again, waits until the child process is ready,\n",
    "\t\tpolling it at intervals until it reports it is ready.  The number of\n",
    "\t\tpolls and the interval (seconds) can be specified by -testReadyTries\n",
    "\t\tand -testReadyInterval (defaults are as shown).\n",
    "\n",
    "\ttslbootstrapservice -isrunning -install_root=... [-java_home=...]\n",
    "\t\tTest if the trq child process is running. Exit code of 0 indicates\n",
    "\t\tthat the process is running.\n\n",
    "\tThe option -stdoutLog=DEBUG|INFO|WARN|ERROR|FATAL is optional for all\n",
    "\tflavours of the command line.  It causes log messages that describe the\n",
    "\tactvities of TRQ to be written to stdout.\n\n",
});

const std::string prompt = "\n\nPress Enter to continue.\n";

class ConsoleTest : public ::testing::Test {
protected:
  void SetUp() override {
    fs::create_directories(bin());
    fs::create_directories(logs());
  }
  fs::path bin() const { return m_root.path() / "bin"; }
  fs::path logs() const { return m_root.path() / "logs"; }
  std::string initialLog() const { return readFile(logs() / "trq_init.log"); }

#ifndef _WIN32
  // Runs the program with its standard error in a file and standard input
  // from `input`; gives the exit code and the text of standard error.
  int run(const std::vector<std::string> &args, std::string &errors, const std::string &input = "/dev/null") {
    std::string command = "exec '" + service() + "'";
    for (const std::string &arg : args)
      command += " '" + arg + "'";
    command += " <'" + input + "' 2>'" + (m_root.path() / "stderr.txt").string() + "'";
    int code = testsupport::runProgram({"/bin/sh", "-c", command}, bin(), std::chrono::seconds(30));
    errors = readFile(m_root.path() / "stderr.txt");
    return code;
  }
#endif

  TempDir m_root{"tslconsole"};
};

TEST(TRQConsole, UsageTextsPieceByPiece) {
  RKLByteBuffer service(256, 256);
  TRQConsole::buildServiceUsage(service);
  EXPECT_EQ(std::string(service.str(), service.pcount()), serviceUsage);
  RKLByteBuffer daemon(256, 256);
  TRQConsole::buildDaemonUsage(daemon);
  EXPECT_EQ(std::string(daemon.str(), daemon.pcount()), daemonUsage);
}

TEST(TRQConsole, SecondOpenKeepsTheFirstHandle) {
  TRQConsole *console = TRQConsole::getInstance();
  EXPECT_EQ(console, TRQConsole::getInstance());
  EXPECT_EQ(console->pauseFlag(), 1);
  // Without the pause, so that no later run of the entry in this process
  // waits for Enter.
  console->openNoPause();
  EXPECT_EQ(console->pauseFlag(), 0);
#ifdef _WIN32
  // A test program has a console of its own, which AllocConsole does not
  // replace: leave it, so that the console can make one.
  if (!console->isOpen()) {
    FreeConsole();
    console->open();
  }
#endif
  ASSERT_TRUE(console->isOpen());
  intptr_t first = console->outputHandle();
  console->open();
  EXPECT_EQ(console->outputHandle(), first);
}

TEST_F(ConsoleTest, HelpOptionsShowTheUsageTextOfTheFlavour) {
  for (const char *help : {"-help", "-h", "-?"}) {
    for (bool daemon : {false, true}) {
      std::vector<std::string> args;
      if (daemon)
        args.push_back("-fakeUnix");
      args.push_back(help);
      args.push_back("-start");
#ifdef _WIN32
      EXPECT_EQ(testsupport::runProgram([&] {
                  std::vector<std::string> all{service(), "-output"};
                  all.insert(all.end(), args.begin(), args.end());
                  return all;
                }(),
                                        bin()),
                0);
#else
      std::string errors;
      // Standard input is not a terminal: the text is shown without a pause.
      EXPECT_EQ(run(args, errors), 0) << help;
      EXPECT_EQ(errors, daemon ? daemonUsage : serviceUsage) << help << (daemon ? " -fakeUnix" : "");
#endif
    }
  }
#ifdef _WIN32
  // Started from a program with a console, the service shares that console
  // under Wine, so AllocConsole refuses to make another: that failure is
  // the only console message allowed.
  for (const std::string &line : logtest::splitLines(logtest::readLog((logs() / "trq_init.log").string()))) {
    if (line.find("TRQConsole") != std::string::npos) {
      EXPECT_NE(line.find("ERROR t["), std::string::npos) << line;
      EXPECT_NE(line.find("] TRQConsole TRQConsole - AllocConsole() failed, last error=5."), std::string::npos)
          << line;
    }
  }
#else
  // Neither opening the console nor writing to it failed.
  EXPECT_EQ(initialLog().find("TRQConsole"), std::string::npos) << initialLog();
#endif
#ifdef _WIN32
  GTEST_SKIP() << "the texts went to a console without a window, which no other process can read under Wine; "
                  "they are compared in-process by UsageTextsPieceByPiece";
#endif
}

TEST_F(ConsoleTest, LoggingNoticesGoToAnOpenConsoleOnly) {
  std::string config = (m_root.path() / "trqlogconfig.xml").string();
  writeFile(config, "<trqlogconfig><stop/><isrunning><logging level=\"INFO\"/></isrunning></trqlogconfig>");
#ifdef _WIN32
  GTEST_SKIP() << "the console's text cannot be read back from a console without a window under Wine";
#else
  std::string errors;
  EXPECT_EQ(run({"-output", "-fakeUnix", "-stop", "-logconfig=" + config}, errors), 0);
  EXPECT_EQ(errors, "no logger element in config, so LoggerFactory is not reconfigured.\n");
  EXPECT_EQ(run({"-output", "-fakeUnix", "-isrunning", "-logconfig=" + config}, errors), 0);
  EXPECT_EQ(errors, "no log file elements in config, so no log files added.\n");
  // Without a console the same notices are dropped.
  EXPECT_EQ(run({"-fakeUnix", "-stop", "-logconfig=" + config}, errors), 0);
  EXPECT_EQ(errors, "");
#endif
}

#ifndef _WIN32
// A pseudo-terminal whose slave side serves as a program's standard input.
class Terminal {
public:
  Terminal() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0)
      m_slave = ptsname(m_master);
  }
  ~Terminal() {
    if (m_master >= 0)
      close(m_master);
  }
  bool ok() const { return !m_slave.empty(); }
  const std::string &slave() const { return m_slave; }
  void type(const std::string &text) { EXPECT_EQ(::write(m_master, text.data(), text.size()), (ssize_t)text.size()); }

private:
  int m_master = -1;
  std::string m_slave;
};
#endif

TEST_F(ConsoleTest, PauseAtExit) {
#ifdef _WIN32
  // -output and -start alone end at once; -console would too, because the
  // input of a console without a window ends at once under Wine.
  EXPECT_EQ(testsupport::runProgram({service(), "-output", "-help"}, bin(), std::chrono::seconds(30)), 0);
  EXPECT_EQ(testsupport::runProgram({service(), "-fakeUnix", "-start"}, bin(), std::chrono::seconds(30)), 0);
  GTEST_SKIP() << "the prompt and the wait for Enter need a console that a person (or a test) can type into, "
                  "which Wine does not offer without a display";
#else
  Terminal terminal;
  ASSERT_TRUE(terminal.ok());
  std::string errors;

  // -output: the text, no prompt, no wait, although a person could answer.
  EXPECT_EQ(run({"-output", "-help"}, errors, terminal.slave()), 0);
  EXPECT_EQ(errors, serviceUsage);

  // -start alone opens no console: nothing shown, no prompt.
  EXPECT_EQ(run({"-fakeUnix", "-start"}, errors, terminal.slave()), 0);
  EXPECT_EQ(errors, "");

  // -console with a command that prints nothing: only the prompt, then the
  // program waits for Enter.
  std::string stderrFile = (m_root.path() / "stderr.txt").string();
  fs::remove(stderrFile);
  TestProcess waiting({"/bin/sh", "-c",
                       "exec '" + service() + "' -console -fakeUnix -stop <'" + terminal.slave() + "' 2>'" +
                           stderrFile + "'"},
                      bin());
  ASSERT_TRUE(waiting.started());
  ASSERT_TRUE(testsupport::waitUntil([&] { return readFile(stderrFile) == prompt; })) << readFile(stderrFile);
  EXPECT_TRUE(waiting.running());
  terminal.type("typed ahead\n");
  EXPECT_EQ(waiting.wait(std::chrono::seconds(20)), 0);
  EXPECT_EQ(readFile(stderrFile), prompt);

  // Without a terminal nobody could press Enter: no prompt and no wait.
  EXPECT_EQ(run({"-console", "-fakeUnix", "-stop"}, errors), 0);
  EXPECT_EQ(errors, "");
#endif
}

// The section of the logging configuration that each command line loads.
TEST_F(ConsoleTest, LoggingSectionOfEachCommand) {
  std::string dir = logs().string();
  for (char &c : dir)
    if (c == '\\')
      c = '/';
  std::string sections;
  for (const char *name : {"start", "stop", "isrunning", "run", "default"})
    sections += std::string("<") + name + "><logging level=\"DEBUG\"><logFiles><file name=\"" + dir + "/" + name +
                ".log\"/></logFiles></logging></" + name + ">\n";
  std::string config = (m_root.path() / "trqlogconfig.xml").string();
  writeFile(config, "<trqlogconfig>\n" + sections + "</trqlogconfig>\n");

  struct Case {
    std::vector<std::string> args;
    const char *section;
  };
  // The daemon flavour accepts -start, -stop and -isrunning without doing
  // anything; -d and runAsDaemon end at once for want of a bootstrap file.
  const std::vector<Case> cases = {
      {{"-fakeUnix", "-start"}, "start"},     {{"-fakeUnix", "-stop"}, "stop"},
      {{"-fakeUnix", "-isrunning"}, "isrunning"}, {{"-d"}, "run"},
      {{"-run"}, "run"},                       {{"-fakeUnix", "runAsDaemon"}, "run"},
      {{"-anything"}, "default"},              {{"-fakeUnix", "-start", "-d"}, "start"},
  };
  for (const Case &c : cases) {
    for (const char *name : {"start", "stop", "isrunning", "run", "default"})
      fs::remove(logs() / (std::string(name) + ".log"));
    std::vector<std::string> args{service(), "-logconfig=" + config};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string shown = c.args.back();
    EXPECT_EQ(testsupport::runProgram(args, bin()), 0) << shown;
    for (const char *name : {"start", "stop", "isrunning", "run", "default"})
      EXPECT_EQ(fs::exists(logs() / (std::string(name) + ".log")), std::string(name) == c.section)
          << shown << ": " << name;
  }
}

#ifndef _WIN32
// A log on standard output whose reader has gone costs the lines, not the
// service.
TEST_F(ConsoleTest, ClosedPipeOnStandardOutputDoesNotEndTheProgram) {
  std::string config = (m_root.path() / "trqlogconfig.xml").string();
  writeFile(config, "<trqlogconfig><run><logging level=\"DEBUG\"><logFiles><file name=\"" +
                        (logs() / "run.log").string() + "\"/></logFiles></logging></run></trqlogconfig>");
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  close(fds[0]);
  std::fflush(stdout);
  int saved = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  ASSERT_GE(saved, 0);
  dup2(fds[1], STDOUT_FILENO);
  close(fds[1]);
  int code = -1;
  {
    TestProcess process({service(), "-d", "-stdoutLog=DEBUG", "-logconfig=" + config}, bin());
    dup2(saved, STDOUT_FILENO);
    close(saved);
    ASSERT_TRUE(process.started());
    code = process.wait(std::chrono::seconds(30));
  }
  EXPECT_NE(code, 128 + SIGPIPE);
  EXPECT_EQ(code, 0);
  // The run went on to its end after the failed writes.
  EXPECT_NE(readFile(logs() / "run.log").find("cannot open bootstrap config file"), std::string::npos)
      << readFile(logs() / "run.log");
}
#endif

} // namespace
