//===- FileTest.cpp - File and directory helpers of the core library ------===//
#include "TestSupport.h"
#include "rklcore.h"

#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#endif

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

std::string sep() { return std::string(1, RKLFmDir::separator()); }

TEST(RKLFmDir, ExistsByMode) {
  TempDir dir;
  std::string file = dir.file("plain.txt");
  writeFile(file, "x");
  std::string folder = dir.path().string();

  EXPECT_EQ(RKLFmDir::exists(folder.c_str(), RKLFmDir::Directory), 1);
  EXPECT_EQ(RKLFmDir::exists(folder.c_str(), RKLFmDir::RegularFile), 0);
  EXPECT_EQ(RKLFmDir::exists(file.c_str(), RKLFmDir::RegularFile), 1);
  EXPECT_EQ(RKLFmDir::exists(file.c_str(), RKLFmDir::Directory), 0);
  EXPECT_EQ(RKLFmDir::exists(file.c_str(), 0), 1);
  EXPECT_EQ(RKLFmDir::exists(file.c_str(), RKLFmDir::RegularFile | RKLFmDir::Writable), 1);
  EXPECT_EQ(RKLFmDir::exists(dir.file("missing").c_str(), 0), 0);
  EXPECT_EQ(RKLFmDir::exists("", 0), 0);
  EXPECT_EQ(RKLFmDir::exists(nullptr, 0), 0);
}

TEST(RKLFmDir, CreateRecursiveDirAndRemoveFile) {
  TempDir dir;
  std::string deep = dir.path().string() + sep() + "a" + sep() + "b" + sep() + "c";
  EXPECT_EQ(RKLFmDir::createRecursiveDir(deep.c_str()), 1);
  EXPECT_EQ(RKLFmDir::exists(deep.c_str(), RKLFmDir::Directory), 1);
  // Creating it again succeeds: the directory is there.
  EXPECT_EQ(RKLFmDir::createRecursiveDir(deep.c_str()), 1);
  // A trailing separator is accepted.
  std::string withSlash = dir.path().string() + sep() + "x" + sep() + "y" + sep();
  EXPECT_EQ(RKLFmDir::createRecursiveDir(withSlash.c_str()), 1);

  // A regular file in the way makes it fail.
  std::string blocker = dir.file("blocker");
  writeFile(blocker, "");
  std::string blocked = blocker + sep() + "sub";
  EXPECT_EQ(RKLFmDir::createRecursiveDir(blocked.c_str()), 0);

  EXPECT_EQ(RKLFmDir::removeFile(blocker.c_str()), 1);
  EXPECT_EQ(RKLFmDir::exists(blocker.c_str(), 0), 0);
  EXPECT_EQ(RKLFmDir::removeFile(blocker.c_str()), 0);
}

TEST(RKLFmDir, JoinPathDoesNotNormalise) {
  std::string s = sep();
  EXPECT_EQ(RKLFmDir::joinPath("base", "..\\temp"), "base" + s + "..\\temp");
  EXPECT_EQ(RKLFmDir::joinPath(("base" + s).c_str(), "x"), "base" + s + "x");
  EXPECT_EQ(RKLFmDir::joinPath("", "x"), "x");
  EXPECT_EQ(RKLFmDir::joinPath("a/./b", "../c"), "a/./b" + s + "../c");
}

TEST(RKLFmDir, ResolveEffectivePathOfRelativePaths) {
  std::string cwd = RKLFmDir::currentDirectory();
  ASSERT_FALSE(cwd.empty());
  std::string s = sep();

  std::string path = "logs/x.log";
  RKLFmDir::resolveEffectivePath(path);
  EXPECT_EQ(path, cwd + s + "logs" + s + "x.log");

  path = "./a/../b/./c";
  RKLFmDir::resolveEffectivePath(path);
  EXPECT_EQ(path, cwd + s + "b" + s + "c");

  // ".." goes to the parent of the current directory.
  std::string parent = cwd;
  parent.erase(parent.find_last_of(RKLFmDir::separator() == '\\' ? "\\/" : "/"));
  if (parent.empty() || parent.back() == ':')
    parent += s;
  path = "..";
  RKLFmDir::resolveEffectivePath(path);
  EXPECT_EQ(path, parent);

  path = "";
  RKLFmDir::resolveEffectivePath(path);
  EXPECT_EQ(path, cwd);

  I18NString text("sub//dir/");
  RKLFmDir::resolveEffectivePath(text);
  EXPECT_EQ(text.str(), cwd + s + "sub" + s + "dir");
}

TEST(RKLFmDir, ResolveEffectivePathOfAbsolutePaths) {
  if (testsupport::isWindows()) {
    std::string path = "C:/x/y/../z";
    RKLFmDir::resolveEffectivePath(path);
    EXPECT_EQ(path, "C:\\x\\z");
    path = "C:\\..\\..";
    RKLFmDir::resolveEffectivePath(path);
    EXPECT_EQ(path, "C:\\");
    path = "\\\\server\\share\\a\\..\\b";
    RKLFmDir::resolveEffectivePath(path);
    EXPECT_EQ(path, "\\\\server\\share\\b");
  } else {
    std::string path = "/x/y/../z";
    RKLFmDir::resolveEffectivePath(path);
    EXPECT_EQ(path, "/x/z");
    path = "/../..";
    RKLFmDir::resolveEffectivePath(path);
    EXPECT_EQ(path, "/");
    path = "//a///b/.";
    RKLFmDir::resolveEffectivePath(path);
    EXPECT_EQ(path, "/a/b");
  }
}

TEST(RKLFmDir, ExecutableDirectoryHoldsThisProgram) {
  std::string exe = RKLFmDir::executablePath();
  std::string dir = RKLFmDir::executableDirectory();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe.rfind(dir, 0), 0u);
  EXPECT_EQ(RKLFmDir::exists(exe.c_str(), RKLFmDir::RegularFile), 1);
  EXPECT_EQ(RKLFmDir::exists(dir.c_str(), RKLFmDir::Directory), 1);
}

TEST(RKLFmFile, CreateModes) {
  TempDir dir;
  std::string path = dir.file("service.txt");
  RKLFmFile file;
  EXPECT_EQ(file.open(path.c_str(), RKLFmFile::OpenExisting), 0);
  EXPECT_NE(file.lastError(), 0);
  EXPECT_FALSE(file.isOpen());

  ASSERT_EQ(file.open(path.c_str(), RKLFmFile::CreateTruncate), 1);
  EXPECT_EQ(file.write("first", 5), 5);
  file.close();
  EXPECT_EQ(readFile(path), "first");

  ASSERT_EQ(file.open(path.c_str(), RKLFmFile::OpenAppend), 1);
  EXPECT_EQ(file.write("+more", 5), 5);
  file.close();
  EXPECT_EQ(readFile(path), "first+more");

  ASSERT_EQ(file.open(path.c_str(), RKLFmFile::CreateTruncate), 1);
  EXPECT_EQ(file.write("new", 3), 3);
  file.close();
  EXPECT_EQ(readFile(path), "new");

  EXPECT_EQ(file.open(path.c_str(), RKLFmFile::CreateNew), 0);
  std::string fresh = dir.file("fresh.txt");
  ASSERT_EQ(file.open(fresh.c_str(), RKLFmFile::CreateNew), 1);
  file.close();

  ASSERT_EQ(file.open(path.c_str(), RKLFmFile::OpenExisting), 1);
  char buffer[16] = {};
  EXPECT_EQ(file.read(buffer, sizeof buffer), 3);
  EXPECT_EQ(std::string(buffer), "new");
  EXPECT_EQ(file.read(buffer, sizeof buffer), 0);
  file.close();
  file.close(); // closing twice is harmless
  EXPECT_EQ(file.write("x", 1), -1);
}

TEST(RKLFmFile, StreamsAndFilesAreNotInherited) {
  TempDir dir;
  std::string path = dir.file("log.txt");
  FILE *stream = RKLFmFile::openStream(path.c_str(), "at");
  ASSERT_NE(stream, nullptr);
  fputs("line\n", stream);
#ifdef _WIN32
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(handle, &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
#else
  int fdFlags = fcntl(fileno(stream), F_GETFD);
  EXPECT_NE(fdFlags & FD_CLOEXEC, 0);
#endif
  fclose(stream);
  // Text mode: Windows ends lines with CR LF.
  EXPECT_EQ(readFile(path), testsupport::isWindows() ? "line\r\n" : "line\n");
  EXPECT_EQ(RKLFmFile::openStream(nullptr, "r"), nullptr);
  EXPECT_EQ(RKLFmFile::openStream(dir.file("missing").c_str(), "r"), nullptr);
}

} // namespace
