//===- FuzzSupport.cpp - What the fuzz targets share ----------------------===//
#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <unistd.h>

namespace fuzzsupport {

namespace {

std::string makeInstallation() {
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tsl-fuzz.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data()))
    finding("cannot make the temporary installation " + pattern);
  std::string root = name.data();
  for (const char *folder : {"bin", "configuration", "logs", "temp"})
    std::filesystem::create_directories(root + "/" + folder);
  if (chdir((root + "/bin").c_str()) != 0)
    finding("cannot enter " + root + "/bin");
  // Its own copy of the name: the static that installation() returns is
  // gone by the time the exit handlers run.
  static const std::string *const removed = new std::string(root);
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::current_path("/", ignored);
    std::filesystem::remove_all(*removed, ignored);
  });
  return root;
}

} // namespace

const std::string &installation() {
  static const std::string root = makeInstallation();
  return root;
}

std::string path(const std::string &relative) { return installation() + "/" + relative; }

void writeFile(const std::string &file, const uint8_t *data, size_t size) {
  FILE *out = std::fopen(file.c_str(), "wb");
  if (!out)
    finding("cannot write " + file);
  bool written = size == 0 || std::fwrite(data, 1, size, out) == size;
  if (std::fclose(out) != 0 || !written)
    finding("cannot write " + file);
}

void writeFile(const std::string &file, const std::string &text) {
  writeFile(file, reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

std::vector<std::string> split(const uint8_t *data, size_t size, char separator) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; ++i) {
    if (static_cast<char>(data[i]) == separator)
      parts.emplace_back();
    else
      parts.back() += static_cast<char>(data[i]);
  }
  return parts;
}

std::string xmlAttribute(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '<')
      out += "&lt;";
    else if (c == '&')
      out += "&amp;";
    else if (c == '"')
      out += "&quot;";
    else if (c < 0x20 || c == 0x7F)
      continue;
    else if (c >= 0x80)
      out += "&#" + std::to_string(c) + ";";
    else
      out += static_cast<char>(c);
  }
  return out;
}

void finding(const std::string &message) {
  std::fprintf(stderr, "FINDING: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

} // namespace fuzzsupport
