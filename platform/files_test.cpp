#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/machine.h"

namespace fs = std::filesystem;

namespace {

using vmtest::read_file;

void spit(const std::string& path, const std::string& bytes) {
  vmtest::write_file(path, bytes);
}

// Each test gets its own machine folder with C:\Program Files\Vellomar as the
// current directory, and its own outside folder.
class FilesTest : public ::testing::Test {
 protected:
  FilesTest() {
    fs::create_directories(root_ + "/outside");
    machine_.enter(install_);
  }

  vmtest::Machine machine_{"files"};
  std::string root_ = machine_.root().string();
  std::string prefix_ = machine_.prefix().string();
  std::string install_ = machine_.install_dir().string();
};

TEST_F(FilesTest, NamesDifferingInCaseReachOneFile) {
  FILE* out = open_file("Vellomar.ini", "w");
  ASSERT_NE(out, nullptr);
  fputs("rule\n", out);
  fclose(out);
  FILE* in = open_file("vellomar.ini", "r");
  ASSERT_NE(in, nullptr);
  char line[32];
  ASSERT_NE(fgets(line, sizeof line, in), nullptr);
  fclose(in);
  EXPECT_STREQ(line, "rule\n");
  EXPECT_EQ(platform::host_path("VELLOMAR.INI"), install_ + "/Vellomar.ini");
  // Written again under the other name, it is still the one file.
  out = open_file("vellomar.ini", "a");
  ASSERT_NE(out, nullptr);
  fputs("more\n", out);
  fclose(out);
  EXPECT_EQ(read_file(install_ + "/Vellomar.ini"), "rule\r\nmore\r\n");
  EXPECT_FALSE(fs::exists(install_ + "/vellomar.ini"));
}

struct NameCase {
  const char* name;
  const char* expected;  // "@" stands for the machine's folder
};

// Test names show the name mapped, with only letters and digits kept.
std::string printable(const std::string& text) {
  std::string out;
  for (char c : text) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return out.empty() ? "empty" : out.substr(0, 40);
}
void PrintTo(const NameCase& c, std::ostream* os) {
  *os << printable(c.name);
}

class HostPathTest : public FilesTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(HostPathTest, MapsNameInsideMachine) {
  fs::create_directories(install_ + "/Sub Dir");
  spit(install_ + "/Vellomar.ini", "x");
  fs::create_directories(prefix_ + "/drive_d/Data");
  std::string expected = GetParam().expected;
  if (expected[0] == '@') expected = prefix_ + expected.substr(1);
  EXPECT_EQ(platform::host_path(GetParam().name), expected) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, HostPathTest,
    ::testing::Values(
        NameCase{"vellomar.log", "@/drive_c/Program Files/Vellomar/vellomar.log"},
        NameCase{"vellomar.ini", "@/drive_c/Program Files/Vellomar/Vellomar.ini"},
        NameCase{".\\sub dir\\..\\VELLOMAR.ini", "@/drive_c/Program Files/Vellomar/Vellomar.ini"},
        NameCase{"SUB DIR\\New.txt", "@/drive_c/Program Files/Vellomar/Sub Dir/New.txt"},
        NameCase{"..\\x", "@/drive_c/Program Files/x"},
        NameCase{"..\\..\\..\\..\\x", "@/drive_c/x"},
        NameCase{"\\Windows\\Win.ini", "@/drive_c/Windows/Win.ini"},
        NameCase{"/windows/win.ini", "@/drive_c/windows/win.ini"},
        NameCase{"C:\\PROGRAM FILES\\vellomar\\vellomar.INI",
                 "@/drive_c/Program Files/Vellomar/Vellomar.ini"},
        NameCase{"c:/program files/New Folder/New.TXT",
                 "@/drive_c/Program Files/New Folder/New.TXT"},
        NameCase{"C:", "@/drive_c/Program Files/Vellomar"}, NameCase{"C:\\", "@/drive_c"},
        NameCase{"C:Vellomar.ini", "@/drive_c/Program Files/Vellomar/Vellomar.ini"},
        NameCase{"D:\\data\\File.txt", "@/drive_d/Data/File.txt"},
        NameCase{"d:/a/./b/../c", "@/drive_d/a/c"}, NameCase{"D:rel", "@/drive_d/rel"},
        NameCase{"D:\\..\\..", "@/drive_d"}, NameCase{"", "@/drive_c/Program Files/Vellomar"}));

TEST_F(FilesTest, CurrentDriveFollowsCurrentDirectory) {
  fs::create_directories(prefix_ + "/drive_d/Work");
  ASSERT_EQ(change_directory("D:\\WORK"), 0);
  EXPECT_EQ(fs::current_path(), prefix_ + "/drive_d/Work");
  EXPECT_EQ(platform::current_directory(), "D:\\Work");
  EXPECT_EQ(platform::host_path("\\x"), prefix_ + "/drive_d/x");
  EXPECT_EQ(platform::host_path("C:x"), prefix_ + "/drive_c/x");
  ASSERT_EQ(change_directory("c:\\program files\\vellomar"), 0);
  EXPECT_EQ(platform::current_directory(), "C:\\Program Files\\Vellomar");
}

TEST_F(FilesTest, OutsideMachineHostNamesKeepWorking) {
  const std::string outside = root_ + "/outside";
  ASSERT_EQ(chdir(outside.c_str()), 0);
  EXPECT_EQ(platform::current_directory(), outside);
  EXPECT_EQ(platform::host_path("log.txt"), outside + "/log.txt");
  EXPECT_EQ(platform::host_path("..\\outside\\a"), outside + "/a");
  EXPECT_EQ(platform::host_path("\\x"), prefix_ + "/drive_c/x");
  EXPECT_EQ(platform::host_path(outside + "/b"), outside + "/b");
  // A host name into the machine's folder stays what it is.
  EXPECT_EQ(platform::host_path(install_ + "/a"), install_ + "/a");
  FILE* file = open_file((outside + "/made.txt").c_str(), "w");
  ASSERT_NE(file, nullptr);
  fclose(file);
  EXPECT_TRUE(fs::exists(outside + "/made.txt"));
}

TEST_F(FilesTest, DirectoriesAreMadeAndEntered) {
  EXPECT_EQ(make_directory("C:\\Data"), 0);
  EXPECT_TRUE(fs::is_directory(prefix_ + "/drive_c/Data"));
  errno = 0;
  EXPECT_EQ(make_directory("c:\\DATA"), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(change_directory("C:\\Missing"), -1);
  EXPECT_EQ(make_directory("C:\\Missing\\Deeper"), -1);
  EXPECT_EQ(change_directory("..\\..\\data"), 0);
  EXPECT_EQ(platform::current_directory(), "C:\\Data");
}

TEST_F(FilesTest, AFolderOnCOfANewMachineMakesItsDrive) {
  const std::string fresh = root_ + "/new/machine";
  setenv("VELLOMAR_PREFIX", fresh.c_str(), 1);
  EXPECT_EQ(make_directory("C:\\Program Files"), 0);
  EXPECT_TRUE(fs::is_directory(fresh + "/drive_c/Program Files"));
  EXPECT_EQ(make_directory("D:\\Data"), -1);
  EXPECT_FALSE(fs::exists(fresh + "/drive_d"));
}

TEST_F(FilesTest, ProgramFolderIsEnteredOnlyWhenItHoldsTheEntry) {
  const std::string folder = platform::program_folder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(fs::read_symlink("/proc/self/exe").parent_path(), fs::path(folder));
  EXPECT_FALSE(platform::enter_folder_holding(root_ + "/outside", "Vellomar.EX_"));
  EXPECT_EQ(fs::current_path(), fs::path(install_));
  spit(root_ + "/outside/Vellomar.EX_", "");
  EXPECT_TRUE(platform::enter_folder_holding(root_ + "/outside", "Vellomar.EX_"));
  EXPECT_EQ(fs::current_path(), fs::path(root_ + "/outside"));
}

// Text-mode reading: the raw bytes and what the program reads.
struct ReadCase {
  std::string raw;
  std::string expected;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
  *os << c.raw.size() << "_bytes_" << printable(c.raw);
}

class TextReadTest : public FilesTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(TextReadTest, ReadsCrLfAsLf) {
  spit(install_ + "/t.txt", GetParam().raw);
  // Whole blocks and single characters take different paths through stdio.
  FILE* in = open_file("t.txt", "r");
  ASSERT_NE(in, nullptr);
  std::string got;
  char block[1000];
  for (std::size_t n; (n = fread(block, 1, sizeof block, in)) > 0;) got.append(block, n);
  EXPECT_TRUE(feof(in));
  fclose(in);
  EXPECT_EQ(got, GetParam().expected);

  in = open_file("t.txt", "rt");
  ASSERT_NE(in, nullptr);
  got.clear();
  for (int c; (c = fgetc(in)) != EOF;) got.push_back(static_cast<char>(c));
  fclose(in);
  EXPECT_EQ(got, GetParam().expected);
}

ReadCase straddling(std::size_t at) {
  // A CR LF pair whose CR is the last byte of one read-ahead block.
  std::string raw(at - 1, 'x');
  return ReadCase{raw + "\r\nyz\r", raw + "\nyz\r"};
}

INSTANTIATE_TEST_SUITE_P(
    Contents, TextReadTest,
    ::testing::Values(ReadCase{"", ""}, ReadCase{"a\r\nb\r\n", "a\nb\n"}, ReadCase{"a\rb", "a\rb"},
                      ReadCase{"a\r", "a\r"}, ReadCase{"\r", "\r"}, ReadCase{"\r\r\n", "\r\n"},
                      ReadCase{"a\n\rb", "a\n\rb"}, ReadCase{"\r\n\r\n", "\n\n"},
                      ReadCase{std::string("a\0\r\nb", 5), std::string("a\0\nb", 4)},
                      straddling(4096), straddling(8192), straddling(16384),
                      ReadCase{std::string(8191, 'x') + "\r", std::string(8191, 'x') + "\r"},
                      ReadCase{std::string(8192, 'x') + "\r", std::string(8192, 'x') + "\r"}));

TEST_F(FilesTest, TextWritesLfAsCrLfAndAppends) {
  FILE* out = open_file("w.txt", "w");
  ASSERT_NE(out, nullptr);
  fputs("one\ntwo\r\n", out);
  fprintf(out, "%s\n", "three");
  ASSERT_EQ(fclose(out), 0);
  EXPECT_EQ(read_file(install_ + "/w.txt"), "one\r\ntwo\r\r\nthree\r\n");

  out = open_file("W.TXT", "a");
  ASSERT_NE(out, nullptr);
  fputs("four\n", out);
  ASSERT_EQ(fclose(out), 0);
  EXPECT_EQ(read_file(install_ + "/w.txt"), "one\r\ntwo\r\r\nthree\r\nfour\r\n");

  // "w" starts the file anew.
  out = open_file("w.txt", "w");
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(fclose(out), 0);
  EXPECT_EQ(read_file(install_ + "/w.txt"), "");
}

TEST_F(FilesTest, LargeTextWriteKeepsEveryByte) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "line " + std::to_string(i) + "\n";
  std::string expected;
  for (char c : text) {
    if (c == '\n') expected += '\r';
    expected += c;
  }
  FILE* out = open_file("big.txt", "w");
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(fwrite(text.data(), 1, text.size(), out), text.size());
  ASSERT_EQ(fclose(out), 0);
  EXPECT_EQ(read_file(install_ + "/big.txt"), expected);
  FILE* in = open_file("big.txt", "r");
  ASSERT_NE(in, nullptr);
  std::string back;
  char block[777];
  for (std::size_t n; (n = fread(block, 1, sizeof block, in)) > 0;) back.append(block, n);
  fclose(in);
  EXPECT_EQ(back, text);
}

TEST_F(FilesTest, UpdateModesReadWhatTheyWrote) {
  FILE* file = open_file("u.txt", "w+");
  ASSERT_NE(file, nullptr);
  fputs("ab\ncd\n", file);
  rewind(file);
  char line[16];
  ASSERT_NE(fgets(line, sizeof line, file), nullptr);
  EXPECT_STREQ(line, "ab\n");
  fclose(file);

  file = open_file("u.txt", "a+");
  ASSERT_NE(file, nullptr);
  fputs("ef\n", file);
  rewind(file);
  std::string all;
  for (int c; (c = fgetc(file)) != EOF;) all.push_back(static_cast<char>(c));
  fclose(file);
  EXPECT_EQ(all, "ab\ncd\nef\n");
  EXPECT_EQ(read_file(install_ + "/u.txt"), "ab\r\ncd\r\nef\r\n");
}

TEST_F(FilesTest, BinaryModeKeepsBytes) {
  FILE* out = open_file("b.bin", "wb");
  ASSERT_NE(out, nullptr);
  fputs("a\nb\r\n", out);
  fclose(out);
  EXPECT_EQ(read_file(install_ + "/b.bin"), "a\nb\r\n");
  FILE* in = open_file("B.BIN", "rb");
  ASSERT_NE(in, nullptr);
  char data[16] = {};
  EXPECT_EQ(fread(data, 1, sizeof data, in), 5u);
  fclose(in);
  EXPECT_STREQ(data, "a\nb\r\n");
}

TEST_F(FilesTest, MissingFileFailsWithErrno) {
  errno = 0;
  EXPECT_EQ(open_file("absent.txt", "r"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(open_file("absent.txt", "rb"), nullptr);
  EXPECT_EQ(open_file("C:\\No Such Folder\\x.txt", "w"), nullptr);
  EXPECT_EQ(open_file("x.txt", "q"), nullptr);
}

TEST_F(FilesTest, ReplaceFileSwapsContentWhole) {
  spit(install_ + "/Prefs.js", "old\r\n");
  chmod((install_ + "/Prefs.js").c_str(), 0640);
  ASSERT_EQ(replace_file("prefs.js", "new\nline\n", 9, true), 0);
  EXPECT_EQ(read_file(install_ + "/Prefs.js"), "new\r\nline\r\n");
  struct stat info;
  ASSERT_EQ(stat((install_ + "/Prefs.js").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  ASSERT_EQ(replace_file("fresh.bin", "a\nb", 3, false), 0);
  EXPECT_EQ(read_file(install_ + "/fresh.bin"), "a\nb");
  ASSERT_EQ(replace_file("empty.txt", nullptr, 0, true), 0);
  EXPECT_EQ(read_file(install_ + "/empty.txt"), "");
  EXPECT_EQ(std::distance(fs::directory_iterator(install_), fs::directory_iterator()), 3);
}

TEST_F(FilesTest, ReplaceFileRemovesOnlyTemporariesOfDeadWriters) {
  const pid_t dead = fork();
  ASSERT_GE(dead, 0);
  if (dead == 0) _exit(0);
  ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
  const pid_t live = fork();
  ASSERT_GE(live, 0);
  if (live == 0) {
    pause();
    _exit(0);
  }
  const std::string d = std::to_string(dead), l = std::to_string(live),
                    self = std::to_string(getpid());
  struct Entry {
    std::string name;
    bool kept;
  };
  const Entry entries[] = {
      {"Vellomar.ini.new" + d + ".0", false},
      {"VELLOMAR.INI.new" + d + ".12", false},  // names are found without case
      {"Vellomar.ini.new" + l + ".0", true},    // a writer still at work
      {"Vellomar.ini.new" + self + ".3", true},
      {"Other.ini.new" + d + ".0", true},  // another file's
      {"Vellomar.ini.new" + d, true},
      {"Vellomar.ini.new" + d + ".0.bak", true},
      {"Vellomar.ini.new" + d + ".", true},
      {"Vellomar.ini.new.0", true},
      {"Vellomar.ini.new-" + d + ".0", true},
      {"Vellomar.ini.new0.0", true},
      {"Vellomar.ini.newx" + d + ".0", true},
  };
  spit(install_ + "/Vellomar.ini", "old\r\n");
  for (const Entry& entry : entries) spit(install_ + "/" + entry.name, "partial");
  // Not a file: left alone even with a dead writer's name.
  fs::create_directory(install_ + "/Vellomar.ini.new" + d + ".1");

  ASSERT_EQ(replace_file("vellomar.ini", "new\n", 4, true), 0);
  kill(live, SIGKILL);
  waitpid(live, nullptr, 0);

  EXPECT_EQ(read_file(install_ + "/Vellomar.ini"), "new\r\n");
  for (const Entry& entry : entries) {
    EXPECT_EQ(fs::exists(install_ + "/" + entry.name), entry.kept) << entry.name;
  }
  EXPECT_TRUE(fs::is_directory(install_ + "/Vellomar.ini.new" + d + ".1"));
  // Nothing else: the writer's own new file became Vellomar.ini.
  EXPECT_EQ(std::distance(fs::directory_iterator(install_), fs::directory_iterator()),
            std::count_if(std::begin(entries), std::end(entries), [](const Entry& entry) {
              return entry.kept;
            }) + 2);
}

TEST_F(FilesTest, FailedReplaceLeavesOldFile) {
  spit(install_ + "/keep.txt", "old content\r\n");
  // A file size limit makes the write of the new content fail part-way.
  signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit limit = old_limit;
  limit.rlim_cur = 16;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const std::string big(1000, 'n');
  const int result = replace_file("keep.txt", big.data(), big.size(), false);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(read_file(install_ + "/keep.txt"), "old content\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(install_), fs::directory_iterator()), 1);
  EXPECT_EQ(replace_file("C:\\No Such Folder\\x.txt", "x", 1, false), -1);
}

}  // namespace
