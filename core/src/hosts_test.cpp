#include "tavi/hosts.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "scratch.hpp"

namespace tavi {
namespace {

namespace fs = std::filesystem;

const std::string BEGIN = std::string(HOSTS_BEGIN_LINE);
const std::string END = std::string(HOSTS_END_LINE);

std::optional<std::string> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_file(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

class HostsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_.path();
    hosts_ = dir_ / "hosts";
    backup_ = dir_ / "hosts.tavi-backup";
    temporary_ = dir_ / "hosts.tavi-tmp";
  }
  Result<bool> write(const std::vector<HostsEntry>& entries) {
    return write_hosts_block(hosts_.string(), entries);
  }

  test::ScratchDir scratch_;
  fs::path dir_, hosts_, backup_, temporary_;
};

const std::vector<HostsEntry> NAS = {{"192.168.1.10", {"nas.home.arpa", "files.home.arpa"}}};
const std::string NAS_BLOCK =
    BEGIN + "\n192.168.1.10\tnas.home.arpa files.home.arpa\n" + END + "\n";
const std::string NAS_BLOCK_CRLF =
    BEGIN + "\r\n192.168.1.10\tnas.home.arpa files.home.arpa\r\n" + END + "\r\n";

struct HostsCase {
  const char* what;
  std::optional<std::string> old_file;  // nothing: no file
  std::vector<HostsEntry> entries;
  std::optional<std::string> new_file;  // nothing: still no file
  bool changed;
  std::optional<std::string> backup;  // nothing: no backup written
};

TEST_F(HostsFile, RewriteRules) {
  const std::string two_entries_block =
      BEGIN + "\n127.77.0.2\tweb.home.arpa\n::1\ta.lan b.lan\n" + END + "\n";
  const HostsCase cases[] = {
      {"no file, entries", std::nullopt, NAS, NAS_BLOCK, true, std::nullopt},
      {"no file, no entries", std::nullopt, {}, std::nullopt, false, std::nullopt},
      {"empty file, no entries", "", {}, "", false, std::nullopt},
      {"empty file, entries", "", NAS, NAS_BLOCK, true, std::nullopt},
      {"own lines then the block", "127.0.0.1 localhost\n", NAS,
       "127.0.0.1 localhost\n\n" + NAS_BLOCK, true, "127.0.0.1 localhost\n"},
      {"already in the written form", "127.0.0.1 localhost\n\n" + NAS_BLOCK, NAS,
       "127.0.0.1 localhost\n\n" + NAS_BLOCK, false, std::nullopt},
      {"block alone, unchanged", NAS_BLOCK, NAS, NAS_BLOCK, false, std::nullopt},
      {"entries in order, names joined, empty names",
       "a\n",
       {{"127.77.0.2", {"web.home.arpa"}}, {"::1", {"a.lan", "b.lan"}}, {"10.0.0.1", {}}},
       "a\n\n" + BEGIN + "\n127.77.0.2\tweb.home.arpa\n::1\ta.lan b.lan\n10.0.0.1\t\n" + END + "\n",
       true,
       "a\n"},
      {"one CR LF makes every line CR LF", "a\nb\r\nc\n", NAS,
       "a\r\nb\r\nc\r\n\r\n" + NAS_BLOCK_CRLF, true, "a\nb\r\nc\n"},
      {"CR LF form is stable", "a\r\n\r\n" + NAS_BLOCK_CRLF, NAS, "a\r\n\r\n" + NAS_BLOCK_CRLF,
       false, std::nullopt},
      {"CR LF block replaced by LF-less text keeps CR LF",
       "a\r\n\r\n" + NAS_BLOCK_CRLF,
       {},
       "a\r\n",
       true,
       "a\r\n\r\n" + NAS_BLOCK_CRLF},
      {"missing final line ending is added", "a\nb", {}, "a\nb\n", true, "a\nb"},
      {"a lone CR at the very end stays in the line", "a\r", {}, "a\r\n", true, "a\r"},
      {"lone CRs elsewhere stay", "a\rb\n", {}, "a\rb\n", false, std::nullopt},
      {"trailing blank lines go, inner ones stay",
       "a\n\n\nb\n\n \t\n\xc2\xa0\n",
       {},
       "a\n\n\nb\n",
       true,
       "a\n\n\nb\n\n \t\n\xc2\xa0\n"},
      {"trailing blank lines after a block go", "a\n\n" + NAS_BLOCK + "\n  \n", NAS,
       "a\n\n" + NAS_BLOCK, true, "a\n\n" + NAS_BLOCK + "\n  \n"},
      {"only blank lines, no entries", "\n \n\t\n", {}, "", true, "\n \n\t\n"},
      {"only blank lines, entries", "\n\n", NAS, NAS_BLOCK, true, "\n\n"},
      {"block in the middle moves to the end", "a\n" + BEGIN + "\nold\n" + END + "\nb\n", NAS,
       "a\nb\n\n" + NAS_BLOCK, true, "a\n" + BEGIN + "\nold\n" + END + "\nb\n"},
      {"no entries removes the block and the empty line before it",
       "a\n\n" + NAS_BLOCK,
       {},
       "a\n",
       true,
       "a\n\n" + NAS_BLOCK},
      {"begin line with white space and other words",
       "a\n \t# BEGIN tavi (older wording)  \nold\n  # END tavi\t\nb\n",
       {},
       "a\nb\n",
       true,
       "a\n \t# BEGIN tavi (older wording)  \nold\n  # END tavi\t\nb\n"},
      {"begin line after Unicode white space",
       "a\n\xe2\x80\x83# BEGIN tavi\nold\n" + END + "\n",
       {},
       "a\n",
       true,
       "a\n\xe2\x80\x83# BEGIN tavi\nold\n" + END + "\n"},
      {"begin directly followed by text",
       "# BEGIN tavix\nold\n" + END + "\nb\n",
       {},
       "b\n",
       true,
       "# BEGIN tavix\nold\n" + END + "\nb\n"},
      {"short or differently cased begin lines are ordinary",
       "# BEGIN tav\n# begin tavi\n#BEGIN tavi\n",
       {},
       "# BEGIN tav\n# begin tavi\n#BEGIN tavi\n",
       false,
       std::nullopt},
      {"end line with extra text does not end the block",
       "a\n" + BEGIN + "\nold\n# END tavi now\nb\n",
       {},
       "a\n",
       true,
       "a\n" + BEGIN + "\nold\n# END tavi now\nb\n"},
      {"begin without end drops the rest", "a\n" + BEGIN + "\nb\nc\n", NAS, "a\n\n" + NAS_BLOCK,
       true, "a\n" + BEGIN + "\nb\nc\n"},
      {"end line before any begin is retained",
       END + "\na\n",
       {},
       END + "\na\n",
       false,
       std::nullopt},
      {"a begin line inside a block is still a begin line",
       BEGIN + "\nx\n" + BEGIN + "\ny\n" + END + "\nz\n",
       {},
       "z\n",
       true,
       BEGIN + "\nx\n" + BEGIN + "\ny\n" + END + "\nz\n"},
      {"two blocks become one at the end",
       "a\n" + BEGIN + "\nx\n" + END + "\nb\n" + BEGIN + "\ny\n" + END + "\nc\n", NAS,
       "a\nb\nc\n\n" + NAS_BLOCK, true,
       "a\n" + BEGIN + "\nx\n" + END + "\nb\n" + BEGIN + "\ny\n" + END + "\nc\n"},
      {"other entries replace the block",
       "a\n\n" + NAS_BLOCK,
       {{"127.77.0.2", {"web.home.arpa"}}, {"::1", {"a.lan", "b.lan"}}},
       "a\n\n" + two_entries_block,
       true,
       "a\n\n" + NAS_BLOCK},
      {"the user's lines are kept byte for byte",
       "  127.0.0.1\tlocalhost  \n# comment \xc3\xa9\n",
       {},
       "  127.0.0.1\tlocalhost  \n# comment \xc3\xa9\n",
       false,
       std::nullopt},
  };
  for (const HostsCase& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(hosts_);
    fs::remove(backup_);
    if (c.old_file) write_file(hosts_, *c.old_file);

    auto changed = write(c.entries);
    ASSERT_TRUE(changed) << changed.error();
    EXPECT_EQ(*changed, c.changed);
    EXPECT_EQ(read_file(hosts_), c.new_file);
    EXPECT_EQ(read_file(backup_), c.backup);
    EXPECT_FALSE(fs::exists(temporary_));

    // What was written is this system's own form: writing it again changes nothing.
    auto again = write(c.entries);
    ASSERT_TRUE(again) << again.error();
    EXPECT_FALSE(*again);
    EXPECT_EQ(read_file(hosts_), c.new_file);
  }
}

TEST_F(HostsFile, ExistingBackupIsNeverRewritten) {
  write_file(backup_, "older backup");
  write_file(hosts_, "a\n");
  ASSERT_EQ(write(NAS), true);
  EXPECT_EQ(read_file(backup_), "older backup");
  ASSERT_EQ(write({}), true);
  EXPECT_EQ(read_file(backup_), "older backup");
  EXPECT_EQ(read_file(hosts_), "a\n");
}

TEST_F(HostsFile, FailedBackupDoesNotStopTheRewrite) {
  // A link into a missing folder: the status query fails and so does the write.
  fs::create_symlink(dir_ / "missing" / "backup", backup_);
  write_file(hosts_, "a\n");
  ASSERT_EQ(write(NAS), true);
  EXPECT_EQ(read_file(hosts_), "a\n\n" + NAS_BLOCK);
  EXPECT_TRUE(fs::is_symlink(backup_));
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(HostsFile, UnreadableOrNonTextFileIsLeftUntouched) {
  fs::create_directory(hosts_);
  auto folder = write(NAS);
  ASSERT_FALSE(folder);
  EXPECT_EQ(folder.error(), "Is a directory (os error 21)");
  EXPECT_TRUE(fs::is_directory(hosts_));
  fs::remove(hosts_);

  const std::string latin1 = "127.0.0.1 caf\xe9\n10.0.0.1 nas\n";
  write_file(hosts_, latin1);
  for (const auto& entries : {NAS, std::vector<HostsEntry>{}}) {
    auto not_text = write(entries);
    ASSERT_FALSE(not_text);
    EXPECT_EQ(not_text.error(), "stream did not contain valid UTF-8");
    EXPECT_EQ(read_file(hosts_), latin1);
  }
  EXPECT_FALSE(fs::exists(backup_));
  EXPECT_FALSE(fs::exists(temporary_));
}

TEST_F(HostsFile, FailedTemporaryFileLeavesTheHostsFileAlone) {
  write_file(hosts_, "a\n");
  fs::create_directory(temporary_);
  auto result = write(NAS);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "Is a directory (os error 21)");
  EXPECT_EQ(read_file(hosts_), "a\n");
}

TEST_F(HostsFile, LeftoverTemporaryFileIsEmptiedAndReused) {
  write_file(temporary_, std::string(100000, 'x'));
  write_file(hosts_, "a\n");
  ASSERT_EQ(write(NAS), true);
  EXPECT_EQ(read_file(hosts_), "a\n\n" + NAS_BLOCK);
  EXPECT_FALSE(fs::exists(temporary_));
}

TEST_F(HostsFile, NewFileHasMode0644WhateverTheOldModeAndUmask) {
  write_file(hosts_, "a\n");
  ::chmod(hosts_.c_str(), 0600);
  const mode_t old_mask = ::umask(077);
  auto result = write(NAS);
  ::umask(old_mask);
  ASSERT_EQ(result, true);
  struct stat status {};
  ASSERT_EQ(::stat(hosts_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);
  ASSERT_EQ(::stat(backup_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);  // 0666 less the mask
}

TEST_F(HostsFile, PathFromTheEnvironment) {
  ::unsetenv("TAVI_HOSTS_FILE");
  EXPECT_EQ(hosts_path(), "/etc/hosts");
  ::setenv("TAVI_HOSTS_FILE", " /tmp/x hosts ", 1);
  EXPECT_EQ(hosts_path(), " /tmp/x hosts ");
  ::setenv("TAVI_HOSTS_FILE", "", 1);
  EXPECT_EQ(hosts_path(), "");
  ::unsetenv("TAVI_HOSTS_FILE");

  // An empty path: nothing to remove, and nowhere to write a block.
  EXPECT_EQ(write_hosts_block("", {}), false);
  auto result = write_hosts_block("", NAS);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "No such file or directory (os error 2)");
}

TEST_F(HostsFile, FlushRunsBothProgramsWhateverBecomesOfTheFirst) {
  const fs::path log = dir_ / "log";
  const fs::path killall = dir_ / "killall";
  test::write_recording_program(killall, "killall", log);
  test::set_program_answer(killall, 1);
  const fs::path failing = dir_ / "dscacheutil";
  test::write_recording_program(failing, "dscacheutil", log);
  test::set_program_answer(failing, 7);

  Layout layout;
  layout.dscacheutil = (dir_ / "missing-dscacheutil").string();
  layout.killall = killall.string();
  flush_dns_cache(layout);
  EXPECT_EQ(read_file(log), "killall -HUP mDNSResponder\n");

  fs::remove(log);
  layout.dscacheutil = failing.string();
  flush_dns_cache(layout);
  EXPECT_EQ(read_file(log), "dscacheutil -flushcache\nkillall -HUP mDNSResponder\n");
}

}  // namespace
}  // namespace tavi
