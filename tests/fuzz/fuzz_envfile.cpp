//===- fuzz_envfile.cpp - Fuzz target: the environment-variables file -----===//
//
// The input is configuration/trqEnvironmentVars.ini of the temporary
// installation, applied to the process by setEnvironment and listed by
// listEnvironment. Afterwards the process's environment is put back as it
// was, so that one input does not change what the next one meets. What the
// service keeps on purpose for the rest of the process (the assignments
// that the environment refers to, the listed lines) is not a leak.
//
//===----------------------------------------------------------------------===//
#include "FuzzSupport.h"
#include "service/TRQBootstrapService.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TSL_FUZZ_LSAN 1
#endif
#endif
#ifdef TSL_FUZZ_LSAN
#include <sanitizer/lsan_interface.h>
#endif

extern char **environ;

namespace {

std::map<std::string, std::string> currentEnvironment() {
  std::map<std::string, std::string> variables;
  for (char **entry = environ; entry && *entry; ++entry) {
    const char *equals = std::strchr(*entry, '=');
    if (equals)
      variables[std::string(*entry, static_cast<size_t>(equals - *entry))] = equals + 1;
  }
  return variables;
}

void restoreEnvironment(const std::map<std::string, std::string> &saved) {
  for (const auto &variable : currentEnvironment()) {
    auto found = saved.find(variable.first);
    if (found == saved.end())
      unsetenv(variable.first.c_str());
    else if (found->second != variable.second)
      setenv(found->first.c_str(), found->second.c_str(), 1);
  }
  for (const auto &variable : saved)
    if (!std::getenv(variable.first.c_str()))
      setenv(variable.first.c_str(), variable.second.c_str(), 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::map<std::string, std::string> saved = (fuzzsupport::installation(), currentEnvironment());
  static TRQBootstrapService *service = new TRQBootstrapService();
  fuzzsupport::writeFile(fuzzsupport::path("configuration/trqEnvironmentVars.ini"), data, size);
#ifdef TSL_FUZZ_LSAN
  __lsan_disable();
#endif
  service->setEnvironment();
  service->listEnvironment();
  if (TRQBootstrapService::m_envp) {
    int listed = 0;
    while (TRQBootstrapService::m_envp[listed])
      ++listed;
    if (listed > 19)
      fuzzsupport::finding("more than 19 environment lines listed");
  }
  restoreEnvironment(saved);
#ifdef TSL_FUZZ_LSAN
  __lsan_enable();
#endif
  return 0;
}
