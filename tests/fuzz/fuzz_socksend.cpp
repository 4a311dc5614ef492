//===- fuzz_socksend.cpp - Fuzz target: a child's reply to a socket send action ===//
//
// A socket send action is configured and executed against the scripted
// stand-in for the security library (FakeJOV), so that the exchange gives
// whatever the input says: the first bytes choose the results of the
// library's calls (connect, establish, send, poll with its events, receive),
// then come, cut at NUL bytes, responseSize, responseOK, responseFatal,
// responseRetry and sockIOTimeoutSec as written in the bootstrap file, and
// the rest is the reply, NULs included. The action's result must be one
// that its callers know, and every details text that the library handed
// out must have been given back.
//
//===----------------------------------------------------------------------===//
#include "../../tools/fakejov/fakejov.h"
#include "FuzzSupport.h"
#include "crypto/TRQCryptoHelper.h"
#include "crypto/TRQSocketCommand.h"
#include "dynlib.h"
#include "rklcore.h"
#include "rklcrypto.h"
#include "rklidom.h"
#include "supervision/TRQBadConfigException.h"
#include "supervision/TRQSockSendAction.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Fake {
  platform::DynamicLibrary library;
  FakeJOV_PFN_Reset reset = nullptr;
  FakeJOV_PFN_Query query = nullptr;
  FakeJOV_PFN_SetReply setReply = nullptr;
};

Fake *bind() {
  auto *fake = new Fake();
  std::string folder = RKLFmDir::executablePath();
  folder = folder.substr(0, folder.find_last_of('/'));
  std::string path = folder + "/" + FAKEJOV_LIBRARY_NAME + platform::sharedLibrarySuffix();
  if (!fake->library.open(path))
    fuzzsupport::finding("cannot load " + path + ": " + fake->library.errorText());
  fake->reset = reinterpret_cast<FakeJOV_PFN_Reset>(fake->library.symbol(FAKEJOV_RESET_NAME));
  fake->query = reinterpret_cast<FakeJOV_PFN_Query>(fake->library.symbol(FAKEJOV_QUERY_NAME));
  fake->setReply = reinterpret_cast<FakeJOV_PFN_SetReply>(fake->library.symbol(FAKEJOV_SET_REPLY_NAME));
  if (!fake->reset || !fake->query || !fake->setReply)
    fuzzsupport::finding("FakeJOV lacks its control exports: " + fake->library.errorText());
  setenv("FAKEJOV_SCRIPT", "", 1);
  setenv("FAKEJOV_REPLY", "", 1);
  TRQCryptoHelper::setLibraryNameForTesting(FAKEJOV_LIBRARY_NAME);
  TRQCryptoHelper::initialize();
  if (!TRQCryptoHelper::getCrypto() || TRQCryptoHelper::getCrypto()->isLoaded() != 1)
    fuzzsupport::finding("the crypto helper did not bind FakeJOV: " + RKLCrypto::lastLoadFailure());
  TRQSocketCommand::setConnectPauseMsForTesting(0);
  return fake;
}

/// One of a few results, chosen by a byte.
int pick(uint8_t byte, std::initializer_list<const char *> choices, std::string &out) {
  const char *const *all = choices.begin();
  out = all[byte % choices.size()];
  return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Fake *fake = bind();
  if (size < 5)
    return 0;
  std::string connect, establish, send, poll, recv;
  pick(data[0], {"0", "0", "-15", "-1", "-12"}, connect);
  pick(data[1], {"0", "-23", "-23,0", "-1"}, establish);
  pick(data[2], {"0", "0", "-1"}, send);
  pick(data[3], {"1/0x300", "1/0x100", "1/0", "2/0", "2/0x300", "0/0x300", "-1", "-6/0x300"}, poll);
  pick(data[4], {"0", "0", "0", "-1", "-11"}, recv);
  std::string script = "Connect_Url=" + connect + ";EstablishSecure=" + establish + ";Send=" + send +
                       ";Poll=" + poll + ";Recv=" + recv;
  setenv("FAKEJOV_SCRIPT", script.c_str(), 1);
  fake->reset();

  // responseSize, the three markers, the time limit, then the reply.
  std::vector<std::string> fields(5);
  size_t at = 5;
  for (std::string &field : fields) {
    while (at < size && data[at] != 0)
      field += static_cast<char>(data[at++]);
    if (at < size)
      ++at;
  }
  fake->setReply(reinterpret_cast<const char *>(data) + at, static_cast<unsigned>(size - at));

  std::string xml = "<ping><socketSend URI=\"" + std::string(data[0] & 0x80 ? "tls" : "tcp") +
                    "://127.0.0.1:1\" commandString=\"PING\" responseSize=\"" + fuzzsupport::xmlAttribute(fields[0]) +
                    "\" responseOK=\"" + fuzzsupport::xmlAttribute(fields[1]) + "\" responseFatal=\"" +
                    fuzzsupport::xmlAttribute(fields[2]) + "\" responseRetry=\"" +
                    fuzzsupport::xmlAttribute(fields[3]) + "\"" +
                    (fields[4].empty() ? "" : " sockIOTimeoutSec=\"" + fuzzsupport::xmlAttribute(fields[4]) + "\"") +
                    "/></ping>";
  RKLIDOM_Parser parser(0);
  RKLIDOM_Document document;
  if (parser.parseBuffer(xml.data(), xml.size(), document) != 1)
    fuzzsupport::finding("the fuzzer's own element does not parse: " + std::string(parser.errorString()));
  TRQSockSendAction action;
  try {
    action.configure(RKLIDOM_Helper::findFirstElementWithName(document, "socketSend"));
  } catch (const TRQBadConfigException &) {
    return 0;
  }
  int64_t result = action.doExecute();
  if (result < -4)
    fuzzsupport::finding("the action gave the unknown result " + std::to_string(result));
  // Without a reply to read, success is 1; otherwise the bytes read.
  const int responseSize = action.getResponseSize();
  const int64_t most =
      responseSize <= 0 ? 1 : (responseSize < TRQSockSendAction::MaxReadSize ? responseSize : TRQSockSendAction::MaxReadSize);
  if (result > most)
    fuzzsupport::finding("the action counted more reply bytes than it asked for: " + std::to_string(result));
  if (std::string(fake->query("outstanding")) != "0" || std::string(fake->query("strangeFrees")) != "0")
    fuzzsupport::finding("details texts were not given back as handed out");
  return 0;
}
