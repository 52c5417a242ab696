// The local certificate authority: created with OpenSSL, stored as two PEM
// files whose permissions are checked at every load.
#include "certauth/authority.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "platform/files.h"

namespace certauth {
namespace {

constexpr char CERTIFICATE_NAME[] = "ca.crt";
constexpr char KEY_NAME[] = "ca.key";
// Files being written carry this after their final name until renamed.
constexpr char ASIDE_MARK[] = ".new-";
// How far back a new certificate's validity starts, for clocks a little behind.
constexpr long BACKDATE_SECONDS = 60L * 60;

using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free_all)>;
using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;
using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

std::string openssl_error(const char* what) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return what;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return std::string(what) + ": " + text;
}

std::string errno_text(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// Reads a whole regular file opened without following a link. `secret`: the
// file must be owned by us with no group or other permission bits, and the
// bytes are wiped from memory by the caller.
bool read_file(const std::string& path, bool secret, std::string* bytes, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = errno_text(path, errno);
    return false;
  }
  struct stat info;
  bool ok = false;
  if (fstat(fd, &info) != 0) {
    *error = errno_text(path, errno);
  } else if (!S_ISREG(info.st_mode)) {
    *error = path + " is not a regular file";
  } else if (secret && info.st_uid != geteuid()) {
    *error = path + " is not owned by this user";
  } else if (secret && (info.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    *error = path + " has mode " + mode + "; others may read it (it must be 0600)";
  } else if (static_cast<std::size_t>(info.st_size) > AUTHORITY_FILE_MAX) {
    *error = path + " is too large";
  } else {
    bytes->assign(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes->size()) {
      const ssize_t got = read(fd, bytes->data() + done, bytes->size() - done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    bytes->resize(done);
    ok = true;
  }
  close(fd);
  return ok;
}

void wipe(std::string* secret) {
  if (!secret->empty()) OPENSSL_cleanse(secret->data(), secret->size());
  secret->clear();
}

// The folder must be ours and writable by nobody else, or another user could
// swap the files under us.
bool folder_is_safe(const std::string& folder, std::string* error) {
  struct stat info;
  if (lstat(folder.c_str(), &info) != 0) {
    *error = errno_text(folder, errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *error = folder + " is not a folder";
    return false;
  }
  if (info.st_uid != geteuid()) {
    *error = folder + " is not owned by this user";
    return false;
  }
  if ((info.st_mode & 022) != 0) {
    *error = folder + " is writable by others";
    return false;
  }
  return true;
}

// Creates the folder (mode 0700) or tightens an existing one of ours to 0700.
bool make_private_folder(const std::string& folder, std::string* error) {
  std::error_code failure;
  std::filesystem::create_directories(platform::prefix_dir(), failure);
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = errno_text(folder, errno);
    return false;
  }
  struct stat info;
  if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
    *error = folder + " is not a folder of this user";
    return false;
  }
  if ((info.st_mode & 07777) != 0700 && chmod(folder.c_str(), 0700) != 0) {
    *error = errno_text(folder, errno);
    return false;
  }
  return true;
}

// Writes `bytes` to a new file beside `path` with `mode` from the moment it
// exists, flushed to disk; returns its name, or empty on failure.
std::string write_aside(const std::string& path, const std::string& bytes, mode_t mode,
                        std::string* error) {
  unsigned char random[8];
  if (RAND_bytes(random, sizeof random) != 1) {
    *error = openssl_error("no random numbers");
    return {};
  }
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "%ld-%02x%02x%02x%02x%02x%02x%02x%02x",
                static_cast<long>(getpid()), random[0], random[1], random[2], random[3], random[4],
                random[5], random[6], random[7]);
  const std::string aside = path + ASIDE_MARK + suffix;
  const int fd = open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    *error = errno_text(aside, errno);
    return {};
  }
  // The umask may have taken bits away; never adds any beyond `mode`.
  const bool written = fchmod(fd, mode) == 0 &&
                       platform::write_whole(fd, bytes.data(), bytes.size()) && fsync(fd) == 0;
  const int saved = errno;
  if (close(fd) != 0 || !written) {
    *error = errno_text(aside, written ? errno : saved);
    unlink(aside.c_str());
    return {};
  }
  return aside;
}

void sync_folder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

std::string user_name() {
  if (const passwd* entry = getpwuid(geteuid()); entry != nullptr && entry->pw_name != nullptr) {
    return entry->pw_name;
  }
  return "uid " + std::to_string(geteuid());
}

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

bool add_extension(X509* certificate, X509V3_CTX* context, int nid, const char* value) {
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, context, nid, value);
  if (extension == nullptr) return false;
  const bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

// A self-signed CA certificate for `key`, or null.
X509Ptr make_certificate(EVP_PKEY* key) {
  X509Ptr certificate(X509_new(), X509_free);
  if (!certificate) return {nullptr, X509_free};
  X509* cert = certificate.get();
  // A random, positive 127-bit serial number.
  unsigned char serial_bytes[16];
  if (RAND_bytes(serial_bytes, sizeof serial_bytes) != 1) return {nullptr, X509_free};
  serial_bytes[0] &= 0x7f;
  BIGNUM* serial = BN_bin2bn(serial_bytes, sizeof serial_bytes, nullptr);
  const bool serial_set =
      serial != nullptr && BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert)) != nullptr;
  BN_free(serial);
  const std::string common_name =
      "Vellomar local inspection authority (" + user_name() + "@" + host_name() + ")";
  X509_NAME* name = X509_get_subject_name(cert);
  bool ok =
      serial_set && X509_set_version(cert, 2) == 1 &&
      X509_gmtime_adj(X509_getm_notBefore(cert), -BACKDATE_SECONDS) != nullptr &&
      X509_time_adj_ex(X509_getm_notAfter(cert), AUTHORITY_VALIDITY_DAYS, 0, nullptr) != nullptr &&
      X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>("Vellomar"), -1, -1,
                                 0) == 1 &&
      X509_NAME_add_entry_by_txt(
          name, "CN", MBSTRING_UTF8,
          reinterpret_cast<const unsigned char*>(common_name.substr(0, 64).c_str()), -1, -1,
          0) == 1 &&
      X509_set_issuer_name(cert, name) == 1 && X509_set_pubkey(cert, key) == 1;
  if (!ok) return {nullptr, X509_free};
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
  ok = add_extension(cert, &context, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
       add_extension(cert, &context, NID_key_usage, "critical,keyCertSign,cRLSign") &&
       add_extension(cert, &context, NID_subject_key_identifier, "hash") &&
       add_extension(cert, &context, NID_authority_key_identifier, "keyid:always") &&
       X509_sign(cert, key, EVP_sha256()) > 0;
  if (!ok) return {nullptr, X509_free};
  return certificate;
}

std::string pem_of(int (*write)(BIO*, void*), void* object) {
  BioPtr bio(BIO_new(BIO_s_mem()), BIO_free_all);
  if (!bio || write(bio.get(), object) != 1) return {};
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  std::string text(data, static_cast<std::size_t>(size));
  // The memory BIO's own copy of a key is wiped before it is freed.
  if (size > 0) OPENSSL_cleanse(data, static_cast<std::size_t>(size));
  return text;
}

int write_certificate(BIO* bio, void* certificate) {
  return PEM_write_bio_X509(bio, static_cast<X509*>(certificate));
}

int write_key(BIO* bio, void* key) {
  return PEM_write_bio_PrivateKey(bio, static_cast<EVP_PKEY*>(key), nullptr, nullptr, 0, nullptr,
                                  nullptr);
}

std::string hex_fingerprint(const X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return {};
  std::string text;
  char pair[4];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", digest[i]);
    text += pair;
  }
  return text;
}

std::string subject_line(const X509* certificate) {
  BioPtr bio(BIO_new(BIO_s_mem()), BIO_free_all);
  if (!bio ||
      X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253) < 0) {
    return {};
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

std::string time_text(const ASN1_TIME* time) {
  std::tm parts{};
  if (ASN1_TIME_to_tm(time, &parts) != 1) return {};
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

// Loads and checks the pair; fills what it learnt into *status when given.
std::shared_ptr<const LoadedAuthority> load(std::string* reason, AuthorityStatus* status) {
  std::string bytes;
  if (!read_file(authority_certificate_path(), false, &bytes, reason)) return nullptr;
  BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())), BIO_free_all);
  auto authority = std::make_shared<LoadedAuthority>();
  authority->certificate.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!authority->certificate) {
    *reason = openssl_error("ca.crt holds no certificate");
    return nullptr;
  }
  X509* cert = authority->certificate.get();
  authority->id = hex_fingerprint(cert);
  if (status != nullptr) {
    status->sha256_fingerprint = authority->id;
    status->subject = subject_line(cert);
    status->not_after = time_text(X509_get0_notAfter(cert));
  }
  if (X509_check_ca(cert) != 1) {
    *reason = "ca.crt is not a certificate authority";
    return nullptr;
  }
  if (X509_cmp_current_time(X509_get0_notAfter(cert)) <= 0) {
    *reason = "ca.crt has expired";
    return nullptr;
  }
  if (X509_cmp_current_time(X509_get0_notBefore(cert)) >= 0) {
    *reason = "ca.crt is not valid yet";
    return nullptr;
  }
  if (!folder_is_safe(authority_directory(), reason)) return nullptr;
  std::string secret;
  if (!read_file(authority_key_path(), true, &secret, reason)) return nullptr;
  BioPtr key_bio(BIO_new_mem_buf(secret.data(), static_cast<int>(secret.size())), BIO_free_all);
  authority->key.reset(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr));
  key_bio.reset();
  wipe(&secret);
  if (!authority->key) {
    *reason = openssl_error("ca.key holds no private key");
    return nullptr;
  }
  if (X509_check_private_key(cert, authority->key.get()) != 1) {
    ERR_clear_error();
    *reason = "ca.key does not match ca.crt";
    return nullptr;
  }
  return authority;
}

bool exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

}  // namespace

std::string authority_directory() {
  return platform::prefix_dir() + "/https";
}
std::string authority_certificate_path() {
  return authority_directory() + "/" + CERTIFICATE_NAME;
}
std::string authority_key_path() {
  return authority_directory() + "/" + KEY_NAME;
}

AuthorityStatus authority_status() {
  AuthorityStatus status;
  status.present = exists(authority_certificate_path()) || exists(authority_key_path());
  if (!status.present) return status;
  std::string reason;
  status.usable = load(&reason, &status) != nullptr;
  if (!status.usable) status.reason = reason;
  return status;
}

std::shared_ptr<const LoadedAuthority> load_authority(std::string* error) {
  std::string reason;
  auto authority = load(&reason, nullptr);
  if (!authority && error != nullptr) *error = reason;
  return authority;
}

bool create_authority(std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  const std::string folder = authority_directory();
  if (exists(authority_certificate_path())) {
    const AuthorityStatus status = authority_status();
    if (status.usable) return true;
    *error = "the authority in " + folder + " is not usable (" + status.reason +
             "); delete it before creating a new one";
    return false;
  }
  if (!make_private_folder(folder, error)) return false;
  KeyPtr key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  if (!key) {
    *error = openssl_error("cannot make a key");
    return false;
  }
  X509Ptr certificate = make_certificate(key.get());
  if (!certificate) {
    *error = openssl_error("cannot make the certificate");
    return false;
  }
  std::string key_pem = pem_of(write_key, key.get());
  const std::string certificate_pem = pem_of(write_certificate, certificate.get());
  if (key_pem.empty() || certificate_pem.empty()) {
    wipe(&key_pem);
    *error = openssl_error("cannot encode the authority");
    return false;
  }
  const std::string key_aside = write_aside(authority_key_path(), key_pem, 0600, error);
  wipe(&key_pem);
  if (key_aside.empty()) return false;
  const std::string certificate_aside =
      write_aside(authority_certificate_path(), certificate_pem, 0644, error);
  if (certificate_aside.empty()) {
    unlink(key_aside.c_str());
    return false;
  }
  // The key first: until the certificate is in place there is no authority,
  // and a key without its certificate is replaced by the next creation.
  if (rename(key_aside.c_str(), authority_key_path().c_str()) != 0) {
    *error = errno_text(authority_key_path(), errno);
    unlink(key_aside.c_str());
    unlink(certificate_aside.c_str());
    return false;
  }
  if (rename(certificate_aside.c_str(), authority_certificate_path().c_str()) != 0) {
    *error = errno_text(authority_certificate_path(), errno);
    unlink(certificate_aside.c_str());
    return false;
  }
  sync_folder(folder);
  return true;
}

bool replace_private_file(const std::string& path, const std::string& bytes, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (!make_private_folder(authority_directory(), error)) return false;
  const std::string aside = write_aside(path, bytes, 0600, error);
  if (aside.empty()) return false;
  if (rename(aside.c_str(), path.c_str()) != 0) {
    *error = errno_text(path, errno);
    unlink(aside.c_str());
    return false;
  }
  sync_folder(authority_directory());
  return true;
}

bool delete_authority(std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  const std::string folder = authority_directory();
  std::vector<std::string> doomed = {authority_key_path(), authority_certificate_path()};
  if (DIR* dir = opendir(folder.c_str()); dir != nullptr) {
    while (const dirent* entry = readdir(dir)) {
      // The folder holds nothing but the authority, files left aside while
      // writing, and what the proxy remembered beside it: all of it goes.
      const std::string name = entry->d_name;
      if (name != "." && name != ".." && name != KEY_NAME && name != CERTIFICATE_NAME) {
        doomed.push_back(folder + "/" + name);
      }
    }
    closedir(dir);
  }
  for (const std::string& path : doomed) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
      *error = errno_text(path, errno);
      return false;
    }
  }
  if (rmdir(folder.c_str()) != 0 && errno != ENOENT && errno != ENOTEMPTY && errno != EEXIST) {
    *error = errno_text(folder, errno);
    return false;
  }
  return true;
}

}  // namespace certauth
