#include "scratch.hpp"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tavi::test {

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tavi-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

void write_recording_program(const std::string& path, const std::string& name,
                             const std::string& log) {
  write_file(path,
             "#!/bin/sh\n"
             "{ printf '%s' '" +
                 name + "'; for a in \"$@\"; do printf ' %s' \"$a\"; done; echo; } >> '" + log +
                 "'\n"
                 "[ -f '" +
                 path + ".stderr' ] && cat '" + path +
                 ".stderr' >&2\n"
                 "exit \"$(cat '" +
                 path + ".status' 2>/dev/null || echo 0)\"\n");
  if (::chmod(path.c_str(), 0755) != 0) throw std::runtime_error("cannot chmod " + path);
}

void set_program_answer(const std::string& path, int status, const std::string& err) {
  write_file(path + ".status", std::to_string(status));
  std::error_code ignored;
  std::filesystem::remove(path + ".stderr", ignored);
  if (!err.empty()) write_file(path + ".stderr", err);
}

}  // namespace tavi::test
