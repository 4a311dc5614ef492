//===- rklcrypto.cpp - Run-time binding of the JOV security library -------===//
//
// The table is indexed by the export's place in JOV_FOR_EACH_EXPORT; the
// compile-time checks below make sure that every export has exactly one
// forwarding operation and that each operation's signature is the export's.
// Entries are atomics so that a forwarding call on one thread and a load or
// release on another never race in the language's sense; the library itself
// cannot be unloaded safely under a running call, which is why the service
// never releases it.
//
//===----------------------------------------------------------------------===//
#include "rklcrypto.h"

#include "dynlib.h"
#include "rklcore.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace {

/// Slot of each export in the table: its number in the list minus one.
enum Slot : int {
#define RKL_CRYPTO_SLOT(number, name) Slot_##name = (number)-1,
  JOV_FOR_EACH_EXPORT(RKL_CRYPTO_SLOT)
#undef RKL_CRYPTO_SLOT
};

/// The names that the loader looks up, in binding order.
const char *const ExportNames[JOV_EXPORT_COUNT] = {
#define RKL_CRYPTO_NAME(number, name) #name,
    JOV_FOR_EACH_EXPORT(RKL_CRYPTO_NAME)
#undef RKL_CRYPTO_NAME
};

//===--- Compile-time coverage of the table -------------------------------===//

// Each forwarding operation claims its slot; together they must claim every
// slot exactly once.
constexpr uint64_t slotBit(Slot slot) { return uint64_t(1) << static_cast<int>(slot); }

constexpr uint64_t CalledSlots = slotBit(Slot_JOV_CryptoInitialize) | slotBit(Slot_JOV_CryptoTerminate) |
                                 slotBit(Slot_JOV_CryptoFree) | slotBit(Slot_JOV_CryptoGetLastErrorDetails) |
                                 slotBit(Slot_JOV_Socket) | slotBit(Slot_JOV_Connect_Url) |
                                 slotBit(Slot_JOV_EstablishSecure) | slotBit(Slot_JOV_Send) | slotBit(Slot_JOV_Recv) |
                                 slotBit(Slot_JOV_Poll) | slotBit(Slot_JOV_CloseHandle);
constexpr int CalledCount = 11;

constexpr uint64_t UniformSlots = 0
#define RKL_CRYPTO_UNIFORM_BIT(operation, exportName) | slotBit(Slot_##exportName)
    RKL_CRYPTO_FOR_EACH_UNIFORM(RKL_CRYPTO_UNIFORM_BIT)
#undef RKL_CRYPTO_UNIFORM_BIT
    ;
constexpr int UniformCount = 0
#define RKL_CRYPTO_UNIFORM_ONE(operation, exportName) +1
    RKL_CRYPTO_FOR_EACH_UNIFORM(RKL_CRYPTO_UNIFORM_ONE)
#undef RKL_CRYPTO_UNIFORM_ONE
    ;

constexpr uint64_t AllSlots = (uint64_t(1) << JOV_EXPORT_COUNT) - 1;
static_assert(CalledCount + UniformCount == JOV_EXPORT_COUNT, "one forwarding operation per export");
static_assert((CalledSlots & UniformSlots) == 0, "an export is forwarded twice");
static_assert((CalledSlots | UniformSlots) == AllSlots, "an export has no forwarding operation");

// The pointer types used for the called exports are the exports' own.
static_assert(std::is_same_v<decltype(&::JOV_CryptoInitialize), JOV_PFN_CryptoInitialize>);
static_assert(std::is_same_v<decltype(&::JOV_CryptoTerminate), JOV_PFN_CryptoTerminate>);
static_assert(std::is_same_v<decltype(&::JOV_CryptoFree), JOV_PFN_CryptoFree>);
static_assert(std::is_same_v<decltype(&::JOV_CryptoGetLastErrorDetails), JOV_PFN_CryptoGetLastErrorDetails>);
static_assert(std::is_same_v<decltype(&::JOV_Socket), JOV_PFN_Socket>);
static_assert(std::is_same_v<decltype(&::JOV_Connect_Url), JOV_PFN_Connect_Url>);
static_assert(std::is_same_v<decltype(&::JOV_EstablishSecure), JOV_PFN_EstablishSecure>);
static_assert(std::is_same_v<decltype(&::JOV_Send), JOV_PFN_Send>);
static_assert(std::is_same_v<decltype(&::JOV_Recv), JOV_PFN_Recv>);
static_assert(std::is_same_v<decltype(&::JOV_Poll), JOV_PFN_Poll>);
static_assert(std::is_same_v<decltype(&::JOV_CloseHandle), JOV_PFN_CloseHandle>);
#define RKL_CRYPTO_CHECK_UNIFORM(operation, exportName)                                                                \
  static_assert(std::is_same_v<decltype(&::exportName), JOV_PFN_Uniform>, #exportName " is not uniform");
RKL_CRYPTO_FOR_EACH_UNIFORM(RKL_CRYPTO_CHECK_UNIFORM)
#undef RKL_CRYPTO_CHECK_UNIFORM

//===--- Process-wide state ------------------------------------------------===//

struct BindingState {
  RKLThreadCriticalSection loadLock{0};
  RKLThreadCriticalSection countLock{0};
  platform::DynamicLibrary library; ///< the module handle: set while open
  std::atomic<void *> table[JOV_EXPORT_COUNT] = {};
  std::atomic<uint32_t> references{0};
  std::string lastFailure; ///< guarded by loadLock
};

/// Created on first use and never destroyed, so that the locks outlive every
/// static object whose destructor might still reach the binding.
BindingState &binding() {
  static BindingState *const state = new BindingState();
  return *state;
}

// The locks exist before the program's main work begins.
[[maybe_unused]] const bool BindingReady = (binding(), true);

/// The text that unbound functions hand out as details. It is never written
/// through; it is not const only because the details parameters are char**.
char EmptyDetails[1] = {'\0'};

void clearTable(BindingState &state) {
  for (std::atomic<void *> &entry : state.table)
    entry.store(nullptr, std::memory_order_release);
}

template <class Function> Function bound(Slot slot) {
  return reinterpret_cast<Function>(binding().table[slot].load(std::memory_order_acquire));
}

int unbound(char **details) {
  if (details)
    *details = EmptyDetails;
  return -1;
}

} // namespace

RKLCrypto::RKLCrypto(const char *libraryName) {
  if (binding().references.load(std::memory_order_relaxed) == 0)
    load(libraryName);
}

RKLCrypto::~RKLCrypto() = default;

int RKLCrypto::load(const char *libraryName) {
  BindingState &state = binding();
  RKLThreadGuard guard(state.loadLock);
  if (state.library.isOpen())
    return 1;
  if (!libraryName) {
    state.lastFailure = "no library name was given";
    return 0;
  }

  // The library is installed beside the program, whatever the current
  // directory of the service is.
  std::string path = std::string(libraryName) + platform::sharedLibrarySuffix();
  if (!RKLFmDir::isAbsolute(path.c_str())) {
    std::string folder = RKLFmDir::executableDirectory();
    if (!folder.empty())
      path = RKLFmDir::joinPath(folder.c_str(), path.c_str());
  }
  RKLFmDir::resolveEffectivePath(path);

  if (!state.library.open(path)) {
    state.lastFailure = state.library.errorText();
    return 0;
  }
  for (int slot = 0; slot < JOV_EXPORT_COUNT; ++slot) {
    void *address = state.library.symbol(ExportNames[slot]);
    if (!address) {
      state.lastFailure = path + " does not export " + ExportNames[slot] + ": " + state.library.errorText();
      clearTable(state);
      state.library.close();
      return 0;
    }
    state.table[slot].store(address, std::memory_order_release);
  }
  state.lastFailure.clear();
  return 1;
}

int RKLCrypto::isLoaded() {
  BindingState &state = binding();
  RKLThreadGuard guard(state.loadLock);
  return state.library.isOpen() ? 1 : 0;
}

int RKLCrypto::acquire(const char *libraryName) {
  BindingState &state = binding();
  RKLThreadGuard guard(state.countLock);
  if (state.references.fetch_add(1, std::memory_order_relaxed) == 0)
    return load(libraryName);
  return 1;
}

void RKLCrypto::release() {
  BindingState &state = binding();
  RKLThreadGuard countGuard(state.countLock);
  uint32_t held = state.references.load(std::memory_order_relaxed);
  if (held == 0)
    return; // more releases than acquires: nothing to give back
  state.references.store(held - 1, std::memory_order_relaxed);
  if (held != 1)
    return;
  RKLThreadGuard loadGuard(state.loadLock);
  if (state.library.isOpen()) {
    clearTable(state);
    state.library.close();
  }
}

std::string RKLCrypto::lastLoadFailure() {
  BindingState &state = binding();
  RKLThreadGuard guard(state.loadLock);
  return state.lastFailure;
}

int RKLCrypto::boundCount() {
  int count = 0;
  for (const std::atomic<void *> &entry : binding().table)
    if (entry.load(std::memory_order_acquire))
      ++count;
  return count;
}

const char *RKLCrypto::emptyDetails() { return EmptyDetails; }

//===--- Forwarding operations --------------------------------------------===//

int RKLCrypto::CryptoInitialize(const char *initializeDocument, int reserved, char **details) {
  auto function = bound<JOV_PFN_CryptoInitialize>(Slot_JOV_CryptoInitialize);
  return function ? function(initializeDocument, reserved, details) : unbound(details);
}

int RKLCrypto::CryptoTerminate(const char *terminateDocument, int reserved, char **details) {
  auto function = bound<JOV_PFN_CryptoTerminate>(Slot_JOV_CryptoTerminate);
  return function ? function(terminateDocument, reserved, details) : unbound(details);
}

int RKLCrypto::CryptoFree(char *text, int reserved) {
  auto function = bound<JOV_PFN_CryptoFree>(Slot_JOV_CryptoFree);
  return function ? function(text, reserved) : -1;
}

int RKLCrypto::CryptoGetLastErrorDetails(JOV_HANDLE handle, int reserved, char **details) {
  auto function = bound<JOV_PFN_CryptoGetLastErrorDetails>(Slot_JOV_CryptoGetLastErrorDetails);
  return function ? function(handle, reserved, details) : unbound(details);
}

int RKLCrypto::Socket(JOV_HANDLE *handle, const char *sessionConfigDocument, int reserved, char **details) {
  auto function = bound<JOV_PFN_Socket>(Slot_JOV_Socket);
  return function ? function(handle, sessionConfigDocument, reserved, details) : unbound(details);
}

int RKLCrypto::Connect_Url(JOV_HANDLE handle, const char *url, const char *sessionConfigDocument) {
  auto function = bound<JOV_PFN_Connect_Url>(Slot_JOV_Connect_Url);
  return function ? function(handle, url, sessionConfigDocument) : -1;
}

int RKLCrypto::EstablishSecure(JOV_HANDLE handle, int reserved) {
  auto function = bound<JOV_PFN_EstablishSecure>(Slot_JOV_EstablishSecure);
  return function ? function(handle, reserved) : -1;
}

int RKLCrypto::Send(JOV_HANDLE handle, const char *data, uint32_t length, uint32_t flags, uint32_t *sent,
                    void *reserved) {
  auto function = bound<JOV_PFN_Send>(Slot_JOV_Send);
  return function ? function(handle, data, length, flags, sent, reserved) : -1;
}

int RKLCrypto::Recv(JOV_HANDLE handle, char *buffer, uint32_t capacity, uint32_t flags, uint32_t *received,
                    void *reserved) {
  auto function = bound<JOV_PFN_Recv>(Slot_JOV_Recv);
  return function ? function(handle, buffer, capacity, flags, received, reserved) : -1;
}

int RKLCrypto::Poll(JOV_POLLFD *entries, uint32_t count, uint32_t timeoutMs, int reserved, char **details) {
  auto function = bound<JOV_PFN_Poll>(Slot_JOV_Poll);
  return function ? function(entries, count, timeoutMs, reserved, details) : unbound(details);
}

int RKLCrypto::CloseHandle(JOV_HANDLE *handle, int reserved, void *details) {
  auto function = bound<JOV_PFN_CloseHandle>(Slot_JOV_CloseHandle);
  return function ? function(handle, reserved, details) : unbound(static_cast<char **>(details));
}

#define RKL_CRYPTO_DEFINE_UNIFORM(operation, exportName)                                                               \
  int RKLCrypto::operation(JOV_UNIFORM_PARAMETERS) {                                                                   \
    auto function = bound<JOV_PFN_Uniform>(Slot_##exportName);                                                         \
    return function ? function(handle, input, inputLength, output, outputLength, reserved, details)                    \
                    : unbound(details);                                                                                \
  }
RKL_CRYPTO_FOR_EACH_UNIFORM(RKL_CRYPTO_DEFINE_UNIFORM)
#undef RKL_CRYPTO_DEFINE_UNIFORM
