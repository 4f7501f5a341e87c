#include "tavi/config_file.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tavi/whole_file.hpp"

namespace tavi {
namespace {

namespace fs = std::filesystem;

Config example_config() {
  Server nas{.name = "nas", .home_ip = "192.168.1.10"};
  nas.vpn = {{"wg", "10.8.0.2"}};
  nas.aliases = {"files"};
  nas.web_port = 5000;
  nas.extra_ports = {445};
  return Config{"home.arpa", {nas, Server{.name = "box", .home_ip = "::1"}}};
}

std::string read_bytes(const fs::path& path) {
  auto content = read_whole_file(path);
  EXPECT_TRUE(content) << path;
  return content.value_or("");
}

void write_bytes(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::set<std::string> names_in(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

mode_t mode_of(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

// A scratch folder of its own, and TAVI_CONFIG pointing into it.
class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tavi-config-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    use_path(dir_ / "config.json");
  }
  void TearDown() override {
    unsetenv("TAVI_CONFIG");
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  void use_path(const fs::path& path) {
    path_ = path;
    setenv("TAVI_CONFIG", path.c_str(), 1);
  }

  fs::path dir_;
  fs::path path_;
};

TEST_F(ConfigFileTest, PathComesFromTheEnvironmentAtEveryCall) {
  unsetenv("TAVI_CONFIG");
  EXPECT_EQ(config_path(), DEFAULT_CONFIG_PATH);
  EXPECT_EQ(DEFAULT_CONFIG_PATH.size(), 45u);
  setenv("TAVI_CONFIG", " /x/conf ig.json ", 1);
  EXPECT_EQ(config_path(), " /x/conf ig.json ");
  setenv("TAVI_CONFIG", "", 1);
  EXPECT_EQ(config_path(), "");
}

TEST_F(ConfigFileTest, DefaultConfiguration) {
  EXPECT_EQ(default_config(), (Config{"home.arpa", {}}));
}

TEST_F(ConfigFileTest, LoadFallsBackToTheDefaultAndLeavesTheFileAlone) {
  const std::string valid = write_config_indented(example_config());
  struct Case {
    std::string what;
    std::optional<std::string> content;  // nothing: no file at the path
  };
  const std::vector<Case> cases = {
      {"missing file", std::nullopt},
      {"empty file", ""},
      {"white space only", " \t\r\n"},
      {"byte-order mark", "\xef\xbb\xbf" + valid},
      {"second value", valid + " {}"},
      {"malformed", "{\"domain\": \"lan\", \"servers\": [}"},
      {"not UTF-8 in a field", "{\"domain\":\"l\xff\",\"servers\":[]}"},
      {"real internet domain", R"({"domain":"example.com","servers":[]})"},
      {"two servers share a name",
       R"({"domain":"lan","servers":[["nas","1.2.3.4"],["nas","1.2.3.5"]]})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(path_);
    if (c.content) write_bytes(path_, *c.content);
    EXPECT_EQ(load_config(), default_config());
    if (c.content) {
      EXPECT_EQ(read_bytes(path_), *c.content);
    } else {
      EXPECT_FALSE(fs::exists(path_));
    }
  }
}

TEST_F(ConfigFileTest, LoadFallsBackWhenThePathIsAFolderOrEmpty) {
  fs::create_directory(path_);
  EXPECT_EQ(load_config(), default_config());
  setenv("TAVI_CONFIG", "", 1);
  EXPECT_EQ(load_config(), default_config());
}

TEST_F(ConfigFileTest, LoadKeepsTheDomainAsStored) {
  write_bytes(path_, "  {\"servers\": [], \"domain\": \"Home.Arpa.\"}\n\n");
  EXPECT_EQ(load_config(), (Config{"Home.Arpa.", {}}));
}

TEST_F(ConfigFileTest, SaveCreatesFoldersAndReadsBackEqual) {
  const mode_t old_mask = umask(027);
  use_path(dir_ / "a" / "b" / "c" / "config.json");
  auto saved = save_config(example_config());
  umask(old_mask);
  ASSERT_TRUE(saved) << saved.error();

  const std::string content = read_bytes(path_);
  EXPECT_EQ(content, write_config_indented(example_config()));
  EXPECT_TRUE(content.ends_with("\n  ]\n}"));
  EXPECT_EQ(load_config(), example_config());

  EXPECT_EQ(mode_of(dir_ / "a"), 0750u);
  EXPECT_EQ(mode_of(dir_ / "a" / "b" / "c"), 0750u);
  EXPECT_EQ(mode_of(path_), 0640u);
  EXPECT_EQ(names_in(path_.parent_path()), std::set<std::string>{"config.json"});
}

TEST_F(ConfigFileTest, SaveToARelativeBareNameUsesTheCurrentFolder) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  setenv("TAVI_CONFIG", "plain.json", 1);
  auto saved = save_config(Config{"lan", {}});
  fs::current_path(previous);
  ASSERT_TRUE(saved) << saved.error();
  EXPECT_EQ(read_bytes(dir_ / "plain.json"), "{\n  \"domain\": \"lan\",\n  \"servers\": []\n}");
  EXPECT_EQ(names_in(dir_), std::set<std::string>{"plain.json"});
}

TEST_F(ConfigFileTest, SaveOverAnExistingFileKeepsItsModeAndOwner) {
  write_bytes(path_, "old");
  ASSERT_EQ(chmod(path_.c_str(), 0604), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(path_.c_str(), 4321, 8765), 0);
  }

  auto saved = save_config(example_config());
  ASSERT_TRUE(saved) << saved.error();
  EXPECT_EQ(read_bytes(path_), write_config_indented(example_config()));
  EXPECT_EQ(mode_of(path_), 0604u);
  if (root) {
    struct stat status {};
    ASSERT_EQ(stat(path_.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 4321u);
    EXPECT_EQ(status.st_gid, 8765u);
  }
  EXPECT_EQ(names_in(dir_), std::set<std::string>{"config.json"});
}

TEST_F(ConfigFileTest, SaveThroughSymbolicLinksReplacesTheFinalFile) {
  // config.json -> links/second (relative to the first link's folder),
  // links/second -> ../real/target.json (relative to links/).
  fs::create_directories(dir_ / "links");
  fs::create_directories(dir_ / "real");
  write_bytes(dir_ / "real" / "target.json", "old");
  ASSERT_EQ(chmod((dir_ / "real" / "target.json").c_str(), 0600), 0);
  fs::create_symlink("links/second", path_);
  fs::create_symlink("../real/target.json", dir_ / "links" / "second");

  auto saved = save_config(example_config());
  ASSERT_TRUE(saved) << saved.error();
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_EQ(fs::read_symlink(path_), "links/second");
  EXPECT_EQ(fs::read_symlink(dir_ / "links" / "second"), "../real/target.json");
  EXPECT_EQ(read_bytes(dir_ / "real" / "target.json"), write_config_indented(example_config()));
  EXPECT_EQ(mode_of(dir_ / "real" / "target.json"), 0600u);
  EXPECT_EQ(names_in(dir_ / "real"), std::set<std::string>{"target.json"});
  EXPECT_EQ(load_config(), example_config());
}

TEST_F(ConfigFileTest, SaveThroughADanglingLinkCreatesItsTarget) {
  fs::create_symlink("made.json", path_);
  auto saved = save_config(Config{"lan", {}});
  ASSERT_TRUE(saved) << saved.error();
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_EQ(load_config(), (Config{"lan", {}}));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_ / "made.json")));
}

TEST_F(ConfigFileTest, SaveToAFolderFailsAndLeavesItAlone) {
  fs::create_directory(path_);
  write_bytes(path_ / "inside", "kept");
  auto saved = save_config(example_config());
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error(), "Gagal menyimpan config: Is a directory (os error 21)");
  EXPECT_EQ(read_bytes(path_ / "inside"), "kept");
  EXPECT_EQ(names_in(dir_), std::set<std::string>{"config.json"});
}

TEST_F(ConfigFileTest, SaveUnderARegularFileGivesTheBareSystemText) {
  write_bytes(dir_ / "plain", "old bytes\r\n");
  use_path(dir_ / "plain" / "sub" / "config.json");
  auto saved = save_config(example_config());
  ASSERT_FALSE(saved);
  // Levels are made from the top, so the file is met as a level that exists.
  EXPECT_EQ(saved.error(), "File exists (os error 17)");
  EXPECT_EQ(read_bytes(dir_ / "plain"), "old bytes\r\n");
  EXPECT_EQ(names_in(dir_), std::set<std::string>{"plain"});
}

TEST_F(ConfigFileTest, SaveToAnEmptyPathCreatesNothing) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  setenv("TAVI_CONFIG", "", 1);
  auto saved = save_config(example_config());
  fs::current_path(previous);
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error(), "Gagal menyimpan config: No such file or directory (os error 2)");
  EXPECT_TRUE(fs::is_empty(dir_));
}

// A pid that no process has: one above the system's largest where that is
// known, else a child's that has been reaped.
pid_t pid_without_process() {
  long max = 0;
  if (std::ifstream("/proc/sys/kernel/pid_max") >> max && max > 0 && max < INT_MAX) {
    return static_cast<pid_t>(max + 1);
  }
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

// The file a save_config killed half-way through writing leaves: the child
// saves under a file-size limit whose signal ends it inside the write.
fs::path leftover_of_a_killed_save() {
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_DFL);
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    const rlimit tiny{16, 16};
    setrlimit(RLIMIT_FSIZE, &tiny);
    (void)save_config(example_config());
    _exit(0);
  }
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
  // The child numbers its file from where this process's saves had got to.
  const std::string name = ".config.json.tmp-" + std::to_string(child) + "-";
  std::vector<fs::path> leftovers;
  for (const auto& entry : fs::directory_iterator(fs::path(config_path()).parent_path())) {
    if (entry.path().filename().string().starts_with(name)) leftovers.push_back(entry.path());
  }
  EXPECT_EQ(leftovers.size(), 1u) << name;
  return leftovers.empty() ? fs::path() : leftovers.front();
}

TEST_F(ConfigFileTest, TheLeftoverOfAKilledSaveIsRemovedAndLookAlikesAreKept) {
  write_bytes(path_, "{}");
  const fs::path killed = leftover_of_a_killed_save();
  const std::string dead = std::to_string(pid_without_process());
  const std::string live = std::to_string(getpid());
  const std::string prefix = ".config.json.tmp-";
  const std::vector<std::string> removed = {
      prefix + dead + "-0",
      prefix + dead + "-17",
      prefix + dead + "-4294967295",
  };
  const std::vector<std::string> kept = {
      prefix + live + "-0",  // its writer may still be at work
      prefix + std::to_string(getppid()) + "-3",
      prefix + "0" + dead + "-1",
      prefix + dead + "-01",
      prefix + "+" + dead + "-1",
      prefix + "-" + dead + "-1",
      prefix + "0-1",
      prefix + dead + "-1.bak",
      prefix + dead + "-1-2",
      prefix + dead + "-",
      prefix + dead,
      prefix + dead + "-4294967296",
      prefix + dead + "-1 ",
      "config.json.tmp-" + dead + "-1",
      ".config.jsonx.tmp-" + dead + "-1",
      ".other.json.tmp-" + dead + "-1",
      ".config.json.tavi-tmp",
  };
  for (const auto& name : removed) write_bytes(dir_ / name, "half");
  for (const auto& name : kept) write_bytes(dir_ / name, "other");
  // Only plain files: a folder or a link of that name is not the writer's.
  const std::string folder = prefix + dead + "-8";
  const std::string link = prefix + dead + "-9";
  fs::create_directory(dir_ / folder);
  fs::create_symlink("config.json", dir_ / link);

  remove_config_leftovers();
  std::set<std::string> expected(kept.begin(), kept.end());
  expected.insert({"config.json", folder, link});
  EXPECT_EQ(names_in(dir_), expected);
  EXPECT_FALSE(fs::exists(killed));
  EXPECT_EQ(read_bytes(path_), "{}");
}

TEST_F(ConfigFileTest, LeftoversAreLookedForBesideTheFileTheLinksLeadTo) {
  fs::create_directories(dir_ / "real");
  fs::create_symlink("real/target.json", path_);
  const std::string dead = std::to_string(pid_without_process());
  write_bytes(dir_ / "real" / (".target.json.tmp-" + dead + "-0"), "half");
  write_bytes(dir_ / (".config.json.tmp-" + dead + "-0"), "not the writer's");
  remove_config_leftovers();
  EXPECT_TRUE(fs::is_empty(dir_ / "real"));
  EXPECT_EQ(names_in(dir_),
            (std::set<std::string>{"config.json", "real", ".config.json.tmp-" + dead + "-0"}));
}

// Failures after the folder step, made without relying on permissions (the
// tests may run as root). The old file must survive byte for byte.
class ConfigFileFailureTest : public ConfigFileTest {
 protected:
  static constexpr const char* OLD = "{\r\n \"domain\": \"lan\", \"servers\": [] }\r\n";

  void plant_old_file() {
    write_bytes(path_, OLD);
    ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  }
  // save_config with the soft limit of `resource` lowered for its duration.
  static Result<void> save_with_limit(int resource, rlim_t soft) {
    rlimit before{};
    if (getrlimit(resource, &before) != 0) return fail("getrlimit");
    rlimit tight = before;
    tight.rlim_cur = soft;
    if (setrlimit(resource, &tight) != 0) return fail("setrlimit");
    auto saved = save_config(example_config());
    if (setrlimit(resource, &before) != 0) ADD_FAILURE() << "limit not restored";
    return saved;
  }
  void expect_old_file_untouched() {
    EXPECT_EQ(read_bytes(path_), OLD);
    EXPECT_EQ(mode_of(path_), 0640u);
    EXPECT_EQ(names_in(path_.parent_path()), std::set<std::string>{path_.filename()});
    EXPECT_EQ(load_config(), (Config{"lan", {}}));
  }
};

TEST_F(ConfigFileFailureTest, NoRoomForTheTemporaryName) {
  // The file's own path is just within the system's limit; the longer name of
  // a temporary file beside it is not.
  fs::path folder = dir_;
  while (folder.native().size() < PATH_MAX - 150) folder /= std::string(100, 'd');
  fs::create_directories(folder);
  use_path(folder / std::string(PATH_MAX - 2 - folder.native().size(), 'c'));
  ASSERT_EQ(path_.native().size(), static_cast<std::size_t>(PATH_MAX - 1));
  plant_old_file();

  auto saved = save_config(example_config());
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error(), "Gagal menyimpan config: File name too long (os error 36)");
  expect_old_file_untouched();
}

TEST_F(ConfigFileFailureTest, WriteStopsHalfWay) {
  // Like a full disk: the first bytes are written, then the write fails.
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  plant_old_file();
  auto saved = save_with_limit(RLIMIT_FSIZE, 16);
  signal(SIGXFSZ, old_handler);
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error(), "Gagal menyimpan config: File too large (os error 27)");
  expect_old_file_untouched();
}

}  // namespace
}  // namespace tavi
