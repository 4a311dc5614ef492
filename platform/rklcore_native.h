//===- rklcore_native.h - Operating-system primitives of the core library -===//
//
// Internal to the core library: the few calls whose implementation differs
// between the systems, defined once in posix/rklcore-posix.cpp and once in
// win32/rklcore-win32.cpp, and used by the portable rklcore.cpp.
//
//===----------------------------------------------------------------------===//
#ifndef RKLCORE_NATIVE_H
#define RKLCORE_NATIVE_H

#include <string>

namespace rklnative {

/// stat() of `path`: true and the C run-time's st_mode when it exists.
bool statMode(const char *path, int &mode);
/// Creates one directory; true when it was created or already is one.
bool makeDirectory(const char *path);
/// The fopen() mode letter that keeps the stream out of child processes.
const char *noInheritModeFlag();

} // namespace rklnative

#endif // RKLCORE_NATIVE_H
