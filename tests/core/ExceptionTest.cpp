//===- ExceptionTest.cpp - Core exceptions, back traces, conversions ------===//
#include "rklcore.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace {

void raiseOutOfMemory() { rklThrow(RKLOutOfMemoryError(), "source/TRQLogger", 139); }

void passOn(void (*body)()) {
  try {
    body();
  } catch (...) {
    rklRethrow("source/TRQBootstrapService", 152);
  }
}

TEST(RKLThrowable, ThrowAddsOneBackTraceEntry) {
  try {
    raiseOutOfMemory();
    FAIL() << "nothing thrown";
  } catch (const RKLOutOfMemoryError &e) {
    ASSERT_EQ(e.getBackTrace().size(), 1u);
    EXPECT_EQ(e.getBackTrace()[0].location, "source/TRQLogger");
    EXPECT_EQ(e.getBackTrace()[0].line, 139);
    EXPECT_EQ(e.getBackTrace()[0].tag, "RKL_THROW");
    EXPECT_STREQ(e.getName(), "RKLOutOfMemoryError");
  }
}

TEST(RKLThrowable, RethrowOfCoreExceptionAddsRethrowEntry) {
  try {
    passOn(raiseOutOfMemory);
    FAIL() << "nothing thrown";
  } catch (const RKLThrowable &e) {
    ASSERT_EQ(e.getBackTrace().size(), 2u);
    EXPECT_EQ(e.getBackTrace()[1].location, "source/TRQBootstrapService");
    EXPECT_EQ(e.getBackTrace()[1].line, 152);
    EXPECT_EQ(e.getBackTrace()[1].tag, "RKL_RETHROW");
    EXPECT_EQ(e.describe(), "RKLOutOfMemoryError: out of memory\n"
                            "    at source/TRQLogger:139 (RKL_THROW)\n"
                            "    at source/TRQBootstrapService:152 (RKL_RETHROW)");
  }
}

TEST(RKLThrowable, BadAllocBecomesOutOfMemoryError) {
  try {
    passOn([] { throw std::bad_alloc(); });
    FAIL() << "nothing thrown";
  } catch (const RKLOutOfMemoryError &e) {
    ASSERT_EQ(e.getBackTrace().size(), 1u);
    EXPECT_EQ(e.getBackTrace()[0].tag, "RKL_THROW");
    EXPECT_EQ(e.getBackTrace()[0].line, 152);
  }
}

TEST(RKLThrowable, OtherStandardExceptionBecomesStdExceptionError) {
  try {
    passOn([] { throw std::runtime_error("disk on fire"); });
    FAIL() << "nothing thrown";
  } catch (const RKLStdExceptionError &e) {
    EXPECT_STREQ(e.getMessage(), "disk on fire");
    EXPECT_STREQ(e.getName(), "RKLStdExceptionError");
    ASSERT_EQ(e.getBackTrace().size(), 1u);
    EXPECT_EQ(e.getBackTrace()[0].location, "source/TRQBootstrapService");
    EXPECT_EQ(e.getBackTrace()[0].tag, "RKL_THROW");
  }
}

TEST(RKLThrowable, ForeignExceptionsPassUnchanged) {
  EXPECT_THROW(passOn([] { throw 42; }), int);
}

TEST(RKLThrowable, HierarchyAndMessages) {
  RKLConfigurationException configuration("bad file");
  EXPECT_STREQ(configuration.getMessage(), "bad file");
  EXPECT_STREQ(configuration.getName(), "RKLConfigurationException");
  const RKLException &asException = configuration;
  EXPECT_STREQ(asException.getMessage(), "bad file");

  RKLThreadResourceError thread("sem_wait", 22);
  EXPECT_EQ(thread.getNativeCode(), 22);
  EXPECT_STREQ(thread.getMessage(), "sem_wait failed, error code=22");
  const RKLError &asError = thread;
  EXPECT_STREQ(asError.getName(), "RKLThreadResourceError");
  EXPECT_STREQ(RKLThrowable(nullptr).getMessage(), "");
}

} // namespace
