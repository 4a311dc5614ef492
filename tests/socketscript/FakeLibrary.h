//===- FakeLibrary.h - Driving the scripted stand-in for the JOV library --===//
//
// The suite binds FakeJOV as the process's JOV library through the crypto
// helper's test hook, and reaches the library's control exports through a
// second handle to the same loaded module: scripts go in through the
// environment and a reset, the recorded calls come out through queries.
//
//===----------------------------------------------------------------------===//
#ifndef FAKELIBRARY_H
#define FAKELIBRARY_H

#include "../../tools/fakejov/fakejov.h"
#include "../crypto/CryptoTestSupport.h"
#include "dynlib.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace cryptotest {

class FakeLibrary {
public:
  FakeLibrary() {
    const std::string path =
        (testsupport::binDir() / (std::string(FAKEJOV_LIBRARY_NAME) + platform::sharedLibrarySuffix())).string();
    if (!m_library.open(path)) {
      ADD_FAILURE() << m_library.errorText();
      return;
    }
    m_reset = reinterpret_cast<FakeJOV_PFN_Reset>(m_library.symbol(FAKEJOV_RESET_NAME));
    m_query = reinterpret_cast<FakeJOV_PFN_Query>(m_library.symbol(FAKEJOV_QUERY_NAME));
    if (!m_reset || !m_query)
      ADD_FAILURE() << m_library.errorText();
  }

  /// Gives the library a new script (and reply) and forgets what it saw.
  void script(const std::string &text, const std::string &reply = "") {
    setEnvironment("FAKEJOV_SCRIPT", text);
    setEnvironment("FAKEJOV_REPLY", reply);
    if (m_reset)
      m_reset();
  }

  std::string query(const std::string &key) const { return m_query ? m_query(key.c_str()) : "<no library>"; }
  int calls(const std::string &function) const { return std::atoi(query("calls:" + function).c_str()); }
  std::string document(const std::string &function) const { return query("doc:" + function); }
  int number(const std::string &key) const { return static_cast<int>(std::strtoll(query(key).c_str(), nullptr, 10)); }
  unsigned unsignedNumber(const std::string &key) const {
    return static_cast<unsigned>(std::strtoull(query(key).c_str(), nullptr, 10));
  }

  /// The calls in order, without the details traffic (GetLastErrorDetails
  /// and CryptoFree).
  std::string calls() const {
    std::string result;
    std::string all = query("log") + " ";
    std::size_t start = 0, end;
    while ((end = all.find(' ', start)) != std::string::npos) {
      std::string name = all.substr(start, end - start);
      start = end + 1;
      if (name.empty() || name == "CryptoGetLastErrorDetails" || name == "CryptoFree")
        continue;
      result += (result.empty() ? "" : " ") + name;
    }
    return result;
  }

  /// Every details text handed out has been given back, and nothing else.
  void expectAllDetailsFreed() const {
    EXPECT_EQ(query("outstanding"), "0");
    EXPECT_EQ(query("strangeFrees"), "0");
  }

private:
  platform::DynamicLibrary m_library;
  FakeJOV_PFN_Reset m_reset = nullptr;
  FakeJOV_PFN_Query m_query = nullptr;
};

} // namespace cryptotest

#endif // FAKELIBRARY_H
