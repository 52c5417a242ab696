#include "browsercfg/ca_trust.h"

#include <fcntl.h>
#include <limits.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string_view>

#include "desktopproxy/firefox_profiles.h"
#include "desktopproxy/host_files.h"
#include "desktopproxy/user_paths.h"

extern char** environ;

namespace browsercfg {
namespace {

constexpr char CERTUTIL[] = "certutil";
constexpr char SHARED_DB[] = "/.pki/nssdb";
// certutil says more than this only when something is badly wrong; the rest
// is cut so a run can never fill memory.
constexpr std::size_t MAX_CERTUTIL_OUTPUT = 1 << 20;
// At most this many entries of our nickname and fingerprint are removed from
// one store (each certutil -D removes one).
constexpr int MAX_REMOVALS = 8;

struct Run {
  int status = -1;  // exit status; -1 when it did not start or did not end normally
  std::string output;
  std::string problem;  // why it did not run to its end, for the user
};

std::string find_certutil() {
  const char* path = std::getenv("PATH");
  std::string_view folders = path != nullptr ? path : "/usr/bin:/bin";
  while (true) {
    std::size_t colon = folders.find(':');
    std::string folder(folders.substr(0, colon));
    if (folder.empty()) folder = ".";
    std::string candidate = folder + "/" + CERTUTIL;
    struct stat status;
    if (stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (colon == std::string_view::npos) return "";
    folders.remove_prefix(colon + 1);
  }
}

double now_seconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// Runs certutil with `args`, its input empty and its output and error read
// together; killed when it runs longer than CERTUTIL_TIMEOUT_SECONDS (a
// database with a password would otherwise wait for one).
Run run_certutil(const std::string& program, const std::vector<std::string>& args) {
  Run run;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    run.problem = std::string("cannot make a pipe: ") + std::strerror(errno);
    return run;
  }
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&files, pipe_fds[1], 1);
  posix_spawn_file_actions_adddup2(&files, pipe_fds[1], 2);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  close(pipe_fds[1]);
  if (spawned != 0) {
    close(pipe_fds[0]);
    run.problem = "cannot start " + program + ": " + std::strerror(spawned);
    return run;
  }
  const double deadline = now_seconds() + CERTUTIL_TIMEOUT_SECONDS;
  bool timed_out = false;
  char buffer[4096];
  while (true) {
    const double left = deadline - now_seconds();
    if (left <= 0) {
      timed_out = true;
      break;
    }
    pollfd p{pipe_fds[0], POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left * 1000) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    const ssize_t got = read(pipe_fds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (run.output.size() < MAX_CERTUTIL_OUTPUT) run.output.append(buffer, got);
  }
  close(pipe_fds[0]);
  if (timed_out) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timed_out) {
    run.problem = "certutil did not finish within " + std::to_string(CERTUTIL_TIMEOUT_SECONDS) +
                  " seconds (does the database have a password?)";
  } else if (WIFEXITED(status)) {
    run.status = WEXITSTATUS(status);
  } else {
    run.problem = "certutil ended abnormally";
  }
  return run;
}

// certutil's last non-empty output line: its reason for a failure.
std::string last_line(const Run& run) {
  if (!run.problem.empty()) return run.problem;
  std::string_view text = run.output;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  std::size_t newline = text.rfind('\n');
  std::string line(newline == std::string_view::npos ? text : text.substr(newline + 1));
  if (line.empty()) return "certutil failed with status " + std::to_string(run.status);
  return line;
}

std::string hex_fingerprint(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return "";
  static const char HEX[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    if (i > 0) text += ':';
    text += HEX[digest[i] >> 4];
    text += HEX[digest[i] & 15];
  }
  return text;
}

// The fingerprint of the first certificate in PEM `text`, or "".
std::string pem_text_fingerprint(const std::string& text) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(text.data(), text.size()),
                                                BIO_free);
  if (!bio) return "";
  std::unique_ptr<X509, decltype(&X509_free)> certificate(
      PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), X509_free);
  return certificate ? hex_fingerprint(certificate.get()) : "";
}

// Fingerprints compare without regard to case or separators.
std::string canonical_fingerprint(std::string_view text) {
  std::string hex;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  return hex;
}

bool exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

// A running Firefox holds a POSIX lock on the profile's .parentlock.
bool firefox_running(const std::string& folder) {
  int fd = open((folder + "/.parentlock").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  const bool held = fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  close(fd);
  return held;
}

std::vector<std::string> firefox_profile_folders() {
  std::vector<std::string> folders;
  std::set<std::string> seen;
  for (const std::string& ini : desktopproxy::profiles_ini_candidates()) {
    desktopproxy::HostFile file = desktopproxy::read_host_file(ini);
    if (!file.readable) continue;
    const std::string base = ini.substr(0, ini.rfind('/'));
    for (const std::string& folder : desktopproxy::profile_folders_in(file.text, base)) {
      struct stat status;
      if (stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) continue;
      char resolved[PATH_MAX];
      if (!seen.insert(realpath(folder.c_str(), resolved) != nullptr ? resolved : folder).second) {
        continue;
      }
      folders.push_back(folder);
    }
  }
  return folders;
}

std::string shared_db_folder() {
  const std::string home = desktopproxy::user_home_dir();
  return home.empty() ? "" : home + SHARED_DB;
}

struct Store {
  std::string folder;
  bool shared = false;
};

std::vector<Store> stores() {
  std::vector<Store> all;
  for (const std::string& folder : firefox_profile_folders()) all.push_back({folder, false});
  const std::string shared = shared_db_folder();
  if (!shared.empty()) all.push_back({shared, true});
  return all;
}

StoreResult result_for(const Store& store) {
  StoreResult result;
  result.folder = store.folder;
  result.label = (store.shared ? "shared NSS database " : "Firefox profile ") + store.folder;
  result.browser_running = !store.shared && firefox_running(store.folder);
  return result;
}

// Our entry in one database, as certutil lists it.
struct Entry {
  bool listed = false;      // a certificate of our nickname is there
  std::string fingerprint;  // of the certificate that holds our nickname
  std::string trust;        // its trust flags, "C,," and the like
};

class Database {
 public:
  Database(std::string certutil, const std::string& folder)
      : certutil_(std::move(certutil)), db_("sql:" + folder) {}

  // Reads our entry; false (with *problem) when the database cannot be read.
  bool read_entry(Entry* entry, std::string* problem) const {
    *entry = Entry();
    Run list = run_certutil(certutil_, {"-L", "-d", db_});
    if (list.status != 0) {
      *problem = "cannot read its certificates: " + last_line(list);
      return false;
    }
    std::size_t start = 0;
    while (start < list.output.size()) {
      std::size_t end = list.output.find('\n', start);
      if (end == std::string::npos) end = list.output.size();
      std::string_view line(list.output.data() + start, end - start);
      start = end + 1;
      while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
      std::size_t blank = line.find_last_of(' ');
      if (blank == std::string_view::npos) continue;
      std::string_view trust = line.substr(blank + 1);
      std::string_view name = line.substr(0, blank);
      while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
      if (name == CA_TRUST_NICKNAME && trust.find(',') != std::string_view::npos) {
        entry->listed = true;
        entry->trust = trust;
      }
    }
    if (!entry->listed) return true;
    // NSS lists every certificate of the nickname's subject; the one that
    // holds the nickname comes first.
    Run pem = run_certutil(certutil_, {"-L", "-d", db_, "-n", CA_TRUST_NICKNAME, "-a"});
    if (pem.status != 0) {
      *problem = "cannot read the entry " + std::string(CA_TRUST_NICKNAME) + ": " + last_line(pem);
      return false;
    }
    entry->fingerprint = pem_text_fingerprint(pem.output);
    return true;
  }

  Run run(std::vector<std::string> args) const {
    args.insert(args.begin() + 1, {"-d", db_});
    return run_certutil(certutil_, args);
  }

 private:
  std::string certutil_;
  std::string db_;
};

bool entry_is(const Entry& entry, const std::string& fingerprint) {
  return entry.listed && canonical_fingerprint(entry.fingerprint) == fingerprint;
}

// Web-server trust: "C" (trusted authority) or "T" in the first field.
bool trusted_for_servers(const Entry& entry) {
  std::string_view ssl = std::string_view(entry.trust).substr(0, entry.trust.find(','));
  return ssl.find('C') != std::string_view::npos || ssl.find('T') != std::string_view::npos;
}

constexpr char NO_CERTUTIL[] = "certutil was not found on PATH; install the libnss3-tools package";

// Makes an empty database with an empty password in `folder`, as Chromium
// and Firefox do at their first start.
bool create_database(const std::string& certutil, const Store& store, std::string* problem) {
  if (store.shared) {
    std::string parent = store.folder.substr(0, store.folder.rfind('/'));
    if (mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
      *problem = "cannot make " + parent + ": " + std::strerror(errno);
      return false;
    }
    if (mkdir(store.folder.c_str(), 0700) != 0 && errno != EEXIST) {
      *problem = "cannot make the folder: " + std::string(std::strerror(errno));
      return false;
    }
  }
  Run made = run_certutil(certutil, {"-N", "-d", "sql:" + store.folder, "--empty-password"});
  if (made.status != 0) {
    *problem = "cannot make its database: " + last_line(made);
    return false;
  }
  return true;
}

void trust_in(const std::string& certutil, const Store& store, const std::string& pem_path,
              const std::string& fingerprint, StoreResult* result) {
  auto fail = [&](const std::string& why) { result->detail = why; };
  if (!exists(store.folder + "/cert9.db")) {
    if (!store.shared && exists(store.folder + "/cert8.db")) {
      return fail("its certificate database has the old format; start Firefox once to convert it");
    }
    std::string problem;
    if (!create_database(certutil, store, &problem)) return fail(problem);
  }
  Database db(certutil, store.folder);
  Entry entry;
  std::string problem;
  if (!db.read_entry(&entry, &problem)) return fail(problem);
  if (entry.listed && !entry_is(entry, fingerprint)) {
    return fail("it holds another certificate named \"" + std::string(CA_TRUST_NICKNAME) +
                "\" (SHA-256 " + entry.fingerprint +
                "), left as it is; remove it with certutil -D -d "
                "sql:" +
                store.folder + " -n \"" + CA_TRUST_NICKNAME + "\" if it is not wanted");
  }
  if (entry.listed && trusted_for_servers(entry)) {
    result->ok = true;
    result->trusted = true;
    result->detail = "already trusted";
    return;
  }
  Run change = entry.listed
                   ? db.run({"-M", "-n", CA_TRUST_NICKNAME, "-t", CA_TRUST_FLAGS})
                   : db.run({"-A", "-n", CA_TRUST_NICKNAME, "-t", CA_TRUST_FLAGS, "-i", pem_path});
  if (change.status != 0) return fail("certutil could not add it: " + last_line(change));
  if (!db.read_entry(&entry, &problem)) return fail(problem);
  if (!entry_is(entry, fingerprint) || !trusted_for_servers(entry)) {
    return fail("certutil reported success, but the entry is not there");
  }
  result->ok = true;
  result->changed = true;
  result->trusted = true;
  result->detail = "added";
}

void untrust_in(const std::string& certutil, const Store& store, const std::string& fingerprint,
                StoreResult* result) {
  Database db(certutil, store.folder);
  Entry entry;
  std::string problem;
  if (!db.read_entry(&entry, &problem)) {
    result->detail = problem;
    return;
  }
  if (entry.listed && !entry_is(entry, fingerprint)) {
    result->ok = true;
    result->detail = "its entry named \"" + std::string(CA_TRUST_NICKNAME) +
                     "\" holds another certificate (SHA-256 " + entry.fingerprint +
                     "), left as it is";
    return;
  }
  for (int removed = 0; entry_is(entry, fingerprint); ++removed) {
    if (removed == MAX_REMOVALS) {
      result->trusted = true;
      result->detail = "the entry is still there after " + std::to_string(removed) + " removals";
      return;
    }
    Run gone = db.run({"-D", "-n", CA_TRUST_NICKNAME});
    if (gone.status != 0) {
      result->trusted = true;
      result->detail = "certutil could not remove it: " + last_line(gone);
      return;
    }
    result->changed = true;
    if (!db.read_entry(&entry, &problem)) {
      result->detail = problem;
      return;
    }
  }
  result->ok = true;
  result->detail = result->changed ? "removed" : "not trusted there";
}

// The stores that hold a database, for operations that create none.
std::vector<Store> existing_stores() {
  std::vector<Store> found;
  for (const Store& store : stores()) {
    if (exists(store.folder + "/cert9.db")) found.push_back(store);
  }
  return found;
}

TrustReport failed(std::string error) {
  TrustReport report;
  report.error = std::move(error);
  return report;
}

using StoreVisit =
    std::function<void(const std::string& certutil, const Store& store, StoreResult* result)>;

// Runs `visit` on each store of `in` once certutil is found; the report holds
// one result per store, or only the error when there is no certutil.
TrustReport for_each_store(const std::vector<Store>& in, const StoreVisit& visit) {
  TrustReport report;
  const std::string certutil = find_certutil();
  if (certutil.empty()) {
    report.error = NO_CERTUTIL;
    return report;
  }
  for (const Store& store : in) {
    StoreResult result = result_for(store);
    visit(certutil, store, &result);
    report.stores.push_back(std::move(result));
  }
  return report;
}

}  // namespace

bool TrustReport::ok() const {
  if (!error.empty()) return false;
  for (const StoreResult& store : stores) {
    if (!store.ok) return false;
  }
  return true;
}

std::string certificate_fingerprint(const std::string& pem_path, std::string* error) {
  desktopproxy::HostFile file = desktopproxy::read_host_file(pem_path);
  if (!file.readable) {
    *error = "cannot read the certificate " + pem_path;
    return "";
  }
  std::string fingerprint = pem_text_fingerprint(file.text);
  if (fingerprint.empty()) *error = pem_path + " holds no certificate";
  return fingerprint;
}

std::vector<std::string> trust_store_folders() {
  std::vector<std::string> folders;
  for (const Store& store : stores()) folders.push_back(store.folder);
  return folders;
}

TrustReport trust_authority(const std::string& pem_path) {
  std::string error;
  const std::string fingerprint = canonical_fingerprint(certificate_fingerprint(pem_path, &error));
  if (fingerprint.empty()) return failed(error);
  return for_each_store(stores(),
                        [&](const std::string& certutil, const Store& store, StoreResult* result) {
                          trust_in(certutil, store, pem_path, fingerprint, result);
                        });
}

TrustReport untrust_authority(const std::string& sha256_fingerprint) {
  const std::string fingerprint = canonical_fingerprint(sha256_fingerprint);
  if (fingerprint.empty()) return failed("no fingerprint given");
  return for_each_store(existing_stores(),
                        [&](const std::string& certutil, const Store& store, StoreResult* result) {
                          untrust_in(certutil, store, fingerprint, result);
                        });
}

TrustReport authority_trust_status(const std::string& sha256_fingerprint) {
  const std::string fingerprint = canonical_fingerprint(sha256_fingerprint);
  return for_each_store(existing_stores(), [&](const std::string& certutil, const Store& store,
                                               StoreResult* result) {
    Database db(certutil, store.folder);
    Entry entry;
    if (!db.read_entry(&entry, &result->detail)) return;
    result->ok = true;
    result->trusted =
        !fingerprint.empty() && entry_is(entry, fingerprint) && trusted_for_servers(entry);
    if (result->trusted) {
      result->detail = "trusted";
    } else if (entry.listed && !entry_is(entry, fingerprint)) {
      result->detail = "not trusted; an entry of that name holds another certificate (SHA-256 " +
                       entry.fingerprint + ")";
    } else {
      result->detail = "not trusted";
    }
  });
}

}  // namespace browsercfg
