// Scratch folders, whole-file helpers and stand-in programs for tests.
#pragma once

#include <string>

namespace tavi::test {

// A fresh folder under the system's temporary folder, removed with all it
// holds when this object goes away.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The file's bytes; empty when it cannot be read.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

// Writes an executable shell script at `path` standing in for a system program:
// it appends `name` and its arguments, separated by single spaces, as one line
// to `log`, copies `<path>.stderr` (when present) to its standard error, and
// exits with the status held in `<path>.status` (0 when absent).
void write_recording_program(const std::string& path, const std::string& name,
                             const std::string& log);
// Makes the program at `path` answer with `status` and `err` from now on.
void set_program_answer(const std::string& path, int status, const std::string& err = "");

}  // namespace tavi::test
