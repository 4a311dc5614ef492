//===- SampleBootstrapTest.cpp - The sample installation's bootstrap files -===//
//
// Every bootstrap file of examples/bin must load: its settings read, each
// process configured with its start, stop and ping actions, and the daemon
// spawn action present.
//
//===----------------------------------------------------------------------===//
#include "LogTestSupport.h"
#include "rklidom.h"
#include "service/TRQBootstrapService.h"
#include "supervision/TRQChildProcess.h"
#include "support/TRQFileInputStream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

fs::path samples() { return fs::path(__FILE__).parent_path().parent_path().parent_path() / "examples" / "bin"; }

struct Expected {
  const char *file;
  int children;
  int pcpRetries;
};

class SampleBootstrapTest : public ::testing::TestWithParam<Expected> {};

TEST_P(SampleBootstrapTest, Loads) {
  const Expected &expected = GetParam();
  fs::path file = samples() / expected.file;
  if (!fs::exists(file))
    GTEST_SKIP() << "the sample installation is not beside this build: " << file.string();
  TRQFileInputStream input(file.string().c_str());
  ASSERT_TRUE(input.isOpen());
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document document;
  ASSERT_EQ(parser.parse(input, document), 1) << parser.errorString();

  TRQBootstrapService service;
  ASSERT_EQ(service.loadBootstrapConfig(document.getDocumentElement()), 1);
  ASSERT_EQ(static_cast<int>(service.getChildren().size()), expected.children);
  for (TRQChildProcess *child : service.getChildren()) {
    EXPECT_NE(child->getStartAction(), nullptr) << child->getName();
    EXPECT_NE(child->getStopAction(), nullptr) << child->getName();
  }
  EXPECT_NE(service.getDaemonSpawnAction(), nullptr);
  EXPECT_EQ(service.getPcpRetries(), expected.pcpRetries);
  EXPECT_EQ(service.getSupervisor().getPollIntervalSec(), 3);
}

INSTANTIATE_TEST_SUITE_P(Samples, SampleBootstrapTest,
                         ::testing::Values(Expected{"bootstrap_hbl_linuxx64.xml", 2, 30},
                                           Expected{"bootstrap_hbl_winx64.xml", 2, 30},
                                           Expected{"bootstrap_linuxx64.xml", 1, 30},
                                           Expected{"bootstrap_winx64.xml", 1, 30},
                                           Expected{"bootstrap_sg_linuxx64.xml", 1, 30},
                                           Expected{"bootstrap_sg_winx64.xml", 1, 30}));

} // namespace
