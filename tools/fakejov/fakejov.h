//===- fakejov.h - Controlling the scripted stand-in for the JOV library --===//
//
// FakeJOV exports every JOV function. Its answers come from the environment
// variable FAKEJOV_SCRIPT, read at load time and again by FakeJOV_Reset():
//
//   FAKEJOV_SCRIPT = entry (";" entry)*
//   entry          = Function "=" value ("," value)*     Function without "JOV_"
//   value          = result ["x" repeat] | result "/" revents ["x" repeat] (Poll)
//
// Each call of a scripted function takes the next value; the last one is
// repeated once the list is used up. Unscripted functions succeed: Socket
// hands out a new handle, Connect_Url, EstablishSecure, Send, Recv and the
// session functions return 0, Poll returns 1 with the entry readable
// (0x0300), and the 44 functions that the service never calls return -14.
// Poll's returned events default to 0x0300 for a result of 0 or more other
// than 2, and to 0 otherwise. Recv delivers the bytes of FAKEJOV_REPLY (at
// most the capacity) whenever its result is 0 or more.
//
// A failing call (any non-zero result; for Socket and Poll a negative one)
// stores "fake <export> returned <result>" as details when it has a details
// parameter, and keeps it as the last failure, which
// JOV_CryptoGetLastErrorDetails hands out (or "fake: no failure"). The entry
// "NoDetails=1" makes the library hand out no details at all.
//
// FakeJOV_SetReply(data, length) replaces the reply with any bytes (NULs
// too) until the next reset.
//
// FakeJOV_Query(key) answers what the library saw since the last reset, as
// text valid until the next query:
//   "log"            the calls in order, names without "JOV_", blank-separated
//   "calls:<Name>"   how often <Name> was called
//   "doc:<Name>"     the last document given to CryptoInitialize,
//                    CryptoTerminate, Socket or Connect_Url
//   "url"            the last URL given to Connect_Url
//   "sent"           the bytes of the last Send
//   "pollTimeout", "pollEvents", "pollCount", "pollHandle", "recvCapacity"
//   "outstanding"    details handed out and not yet freed
//   "strangeFrees"   JOV_CryptoFree calls with a pointer the library never gave
//
//===----------------------------------------------------------------------===//
#ifndef FAKEJOV_H
#define FAKEJOV_H

/// The names of the control exports and their types.
#define FAKEJOV_RESET_NAME "FakeJOV_Reset"
#define FAKEJOV_QUERY_NAME "FakeJOV_Query"
#define FAKEJOV_SET_REPLY_NAME "FakeJOV_SetReply"
typedef void (*FakeJOV_PFN_Reset)(void);
typedef const char *(*FakeJOV_PFN_Query)(const char *key);
typedef void (*FakeJOV_PFN_SetReply)(const char *data, unsigned length);

/// The library's base name (the system's suffix follows).
#define FAKEJOV_LIBRARY_NAME "FakeJOV"

#endif // FAKEJOV_H
