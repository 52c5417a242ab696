// vmreg: the registry tool. "vmreg import FILE" makes the changes of a
// registry text file, all or none; "vmreg export [KEY]" prints the whole
// registry, or one key and everything below it, as registry text.
//
// Exit status: 0 done, 1 a bad file, a missing key or a registry that cannot
// be read or written, 2 a wrong command line. Messages go to stderr.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry_text.h"

namespace {

namespace text = platform::registry_text;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: vmreg import FILE     make the changes of a registry file\n"
    "       vmreg export [KEY]    print the registry, or KEY and its sub-keys\n";

int usage(const char* problem) {
  std::fprintf(stderr, "vmreg: %s\n%s", problem, kUsage);
  return kExitUsage;
}

bool read_whole(const char* name, std::string* out) {
  FILE* file = std::fopen(name, "rb");
  if (file == nullptr) return false;
  char buffer[65536];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) out->append(buffer, got);
  bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

int import_file(const char* name) {
  std::string content;
  if (!read_whole(name, &content)) {
    std::fprintf(stderr, "vmreg: %s: cannot read: %s\n", name, std::strerror(errno));
    return kExitFailed;
  }
  std::vector<text::Change> changes;
  text::ParseError error;
  if (!text::parse(content, &changes, &error)) {
    std::fprintf(stderr, "vmreg: %s:%d: %s\n", name, error.line, error.message.c_str());
    return kExitFailed;
  }
  int line = 0;
  if (LONG rc = text::apply_changes(changes, &line); rc != ERROR_SUCCESS) {
    if (line > 0) {
      std::fprintf(stderr,
                   "vmreg: %s:%d: cannot write to the registry (error %d); nothing changed\n", name,
                   line, static_cast<int>(rc));
    } else {
      std::fprintf(stderr, "vmreg: %s: cannot write to the registry (error %d); nothing changed\n",
                   name, static_cast<int>(rc));
    }
    return kExitFailed;
  }
  return 0;
}

int export_text(const char* key_name) {
  std::string out;
  std::string error;
  bool ok = false;
  if (key_name == nullptr) {
    ok = text::export_all(&out, &error);
  } else {
    HKEY root = nullptr;
    std::string path;
    if (!text::split_key_name(key_name, &root, &path)) {
      std::fprintf(stderr,
                   "vmreg: %s: not a key name (it must start with a root such as "
                   "HKEY_LOCAL_MACHINE or HKLM)\n",
                   key_name);
      return kExitFailed;
    }
    LONG code = ERROR_SUCCESS;
    ok = text::export_key(root, path, &out, &error, &code);
  }
  if (!ok) {
    if (key_name != nullptr) {
      std::fprintf(stderr, "vmreg: %s: %s\n", key_name, error.c_str());
    } else {
      std::fprintf(stderr, "vmreg: %s\n", error.c_str());
    }
    return kExitFailed;
  }
  if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "vmreg: cannot write the output: %s\n", std::strerror(errno));
    return kExitFailed;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage("no command given");
  std::string command = argv[1];
  if (command == "-h" || command == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "import") {
    if (argc != 3) return usage("import takes exactly one FILE");
    return import_file(argv[2]);
  }
  if (command == "export") {
    if (argc > 3) return usage("export takes at most one KEY");
    return export_text(argc == 3 ? argv[2] : nullptr);
  }
  return usage(("unknown command \"" + command + "\"").c_str());
}
