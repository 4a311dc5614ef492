//===- jovlookup.h - Name lookups bounded by a deadline and a cancel ------===//
//
// The system's resolver cannot be cancelled and takes as long as it likes
// (a silent name server costs it many seconds per try). A connection may
// wait for it only until its own limit, or until its handle is closed from
// another thread, so the lookup runs on a thread of its own that may outlive
// the wait: a lookup whose caller has gone frees its own result.
//
//===----------------------------------------------------------------------===//
#ifndef JOVLOOKUP_H
#define JOVLOOKUP_H

#include "jovinternal.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

// The resolver's list, as getaddrinfo gives it on every system.
struct addrinfo;

namespace jov {

/// What one lookup found: the resolver's code, the system's error code that
/// goes with it (errno, for EAI_SYSTEM), and the resolver's list (null unless
/// `rc` is 0).
struct LookupResult {
  int rc = 0;
  int error = 0;
  void *found = nullptr;
};

/// A blocking lookup, and how to free the list it found.
struct Resolver {
  std::function<LookupResult()> lookup;
  void (*release)(void *found) = nullptr;
};

/// Runs `resolver.lookup` and waits for it until `deadline`, or until
/// `cancel` becomes true. True with its result (the caller then owns
/// `result.found`); false with `failure` set when the wait was cut short
/// (JOV_E_TIMEOUT, JOV_E_CLOSED) or the lookup could not be started
/// (JOV_E_RESOLVE). `host` only names the lookup in the texts.
bool boundedLookup(const std::string &host, const Resolver &resolver, Clock::time_point deadline,
                   const std::atomic<bool> &cancel, LookupResult &result, Failure &failure);

struct AddressListFree {
  void operator()(addrinfo *list) const;
};
using AddressList = std::unique_ptr<addrinfo, AddressListFree>;

/// The system's text for a failed lookup: its code and the error that goes
/// with it, as LookupResult carries them.
using LookupErrorText = std::string (*)(int rc, int error);

/// The stream addresses of `host` (a name or a numeric address) in `family`
/// for the numeric `port`, found within `deadline` and before `cancel`; null
/// with `failure` set otherwise (a failed lookup is JOV_E_RESOLVE, its
/// reason given by `errorText`).
AddressList resolveAddresses(Family family, const std::string &host, const std::string &port,
                             Clock::time_point deadline, const std::atomic<bool> &cancel, LookupErrorText errorText,
                             Failure &failure);

} // namespace jov

#endif // JOVLOOKUP_H
