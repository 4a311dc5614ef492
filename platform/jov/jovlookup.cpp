//===- jovlookup.cpp - Name lookups bounded by a deadline and a cancel ----===//
#include "jovlookup.h"

// For getaddrinfo, which both systems offer alike, and for keeping this
// library loaded.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace jov {

namespace {

/// The state that the waiting caller and the lookup's thread share; whoever
/// goes last frees it.
struct PendingLookup {
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;
  LookupResult result;
};

/// A lookup's thread may outlive its caller, and with it the caller's
/// JOV_Terminate and the unloading of this library: code that runs on after
/// its module has gone faults. So once such a thread has been started, the
/// library that holds this code stays loaded until the process ends (an
/// executable that has this code built in is not affected).
void keepThisLibraryLoaded() {
  static std::once_flag once;
  std::call_once(once, [] {
#ifdef _WIN32
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&keepThisLibraryLoaded), &self);
#else
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&keepThisLibraryLoaded), &info) && info.dli_fname)
      dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
#endif
  });
}

} // namespace

bool boundedLookup(const std::string &host, const Resolver &resolver, Clock::time_point deadline,
                   const std::atomic<bool> &cancel, LookupResult &result, Failure &failure) {
  auto pending = std::make_shared<PendingLookup>();
  keepThisLibraryLoaded();
  try {
    std::thread([pending, resolver] {
      LookupResult found = resolver.lookup();
      std::lock_guard<std::mutex> guard(pending->lock);
      if (pending->abandoned) {
        if (found.found && resolver.release)
          resolver.release(found.found);
        return;
      }
      pending->result = found;
      pending->done = true;
      pending->finished.notify_all();
    }).detach();
  } catch (const std::system_error &e) {
    failure = {JOV_E_RESOLVE, std::string("cannot start resolving \"") + host + "\": " + e.what()};
    return false;
  }
  std::unique_lock<std::mutex> guard(pending->lock);
  // In slices: a cancel is a plain flag that nobody signals.
  while (!pending->done && !cancel.load() && Clock::now() < deadline)
    pending->finished.wait_until(guard, std::min(deadline, Clock::now() + std::chrono::milliseconds(50)));
  if (!pending->done) {
    pending->abandoned = true;
    failure = cancel.load() ? Failure{JOV_E_CLOSED, "the handle was closed while \"" + host + "\" was being resolved"}
                            : Failure{JOV_E_TIMEOUT, "resolving \"" + host + "\" took longer than the connection may"};
    return false;
  }
  result = pending->result;
  return true;
}

void AddressListFree::operator()(addrinfo *list) const {
  if (list)
    freeaddrinfo(list);
}

AddressList resolveAddresses(Family family, const std::string &host, const std::string &port,
                             Clock::time_point deadline, const std::atomic<bool> &cancel, LookupErrorText errorText,
                             Failure &failure) {
  addrinfo hints{};
  hints.ai_family = family == Family::IPv6 ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  // A numeric address is converted at once and never waits for a resolver,
  // so it needs no thread to bound the wait (a thread per exchange costs
  // more than the exchange's own system calls).
  addrinfo numericHints = hints;
  numericHints.ai_flags |= AI_NUMERICHOST;
  addrinfo *numeric = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &numericHints, &numeric) == 0 && numeric)
    return AddressList(numeric);
  Resolver resolver;
  resolver.lookup = [hints, host, port] {
    addrinfo *found = nullptr;
    int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    return LookupResult{rc, rc != 0 ? errno : 0, found};
  };
  resolver.release = [](void *found) { freeaddrinfo(static_cast<addrinfo *>(found)); };
  LookupResult result;
  if (!boundedLookup(host, resolver, deadline, cancel, result, failure))
    return nullptr;
  AddressList found(static_cast<addrinfo *>(result.found));
  if (result.rc != 0) {
    failure = {JOV_E_RESOLVE, "cannot resolve \"" + host + "\" as an " + (family == Family::IPv6 ? "IPv6" : "IPv4") +
                                  " address: " + errorText(result.rc, result.error)};
    return nullptr;
  }
  if (!found)
    failure = {JOV_E_CONNECT, "no address found for \"" + host + "\""};
  return found;
}

} // namespace jov
