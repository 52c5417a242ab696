// The local certificate authority that HTTPS inspection signs its host
// certificates with. It lives in <machine folder>/https (mode 0700): ca.crt
// (PEM, mode 0644) and ca.key (PEM PKCS#8 ECDSA P-256, mode 0600). The key is
// written aside (O_EXCL, 0600) and renamed into place, so it is never seen
// half-written or readable by others, and it is never logged or printed.
//
// An authority is used only when it is usable: the certificate is a CA
// certificate within its validity, the key file is a regular file owned by
// this user with no group or other permission bits, the folder is owned by
// this user and writable by nobody else, and the key matches the certificate.
//
// All calls read the machine folder from the environment at each call, are
// safe from several threads at once (creation by two processes at once may
// leave either one's authority, never a mix of both) and never throw.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace certauth {

// Validity of a newly created authority.
inline constexpr int AUTHORITY_VALIDITY_DAYS = 3650;
// A key or certificate file larger than this is refused unread.
inline constexpr std::size_t AUTHORITY_FILE_MAX = 64 * 1024;

std::string authority_directory();
std::string authority_certificate_path();
std::string authority_key_path();

// Creates the authority when there is none. Succeeds without change when a
// usable one exists; a certificate that is there but unusable is left alone
// and reported (delete it first), so a trusted authority is never replaced
// behind the user's back. A stray key without its certificate is replaced.
bool create_authority(std::string* error);

// Deletes ca.key and ca.crt (and files left aside by an interrupted
// creation), then the folder when it is empty. Succeeds when nothing was there.
bool delete_authority(std::string* error);

struct AuthorityStatus {
  bool present = false;  // ca.crt or ca.key exists
  bool usable = false;
  std::string reason;              // why it is not usable; empty when usable or absent
  std::string sha256_fingerprint;  // "AB:CD:..." of the certificate's DER
  std::string subject;             // one line, RFC 2253
  std::string not_after;           // "YYYY-MM-DD HH:MM:SS UTC"
};
AuthorityStatus authority_status();

// A usable authority in memory. Immutable once loaded; share it freely
// between threads. `id` tells authorities apart (the certificate's SHA-256),
// so what is derived from one is never used with another.
struct LoadedAuthority {
  std::unique_ptr<X509, void (*)(X509*)> certificate{nullptr, X509_free};
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key{nullptr, EVP_PKEY_free};
  std::string id;
};

// Loads the authority when it is usable; null with *error saying why not
// (error may be null).
std::shared_ptr<const LoadedAuthority> load_authority(std::string* error);

// Replaces the file `path` inside the authority's folder (created as for
// the authority) with `bytes`, mode 0600, written aside and renamed, so a
// reader sees the old or the new content, never a mix. For what the proxy
// remembers about hosts; delete_authority removes it with the rest.
bool replace_private_file(const std::string& path, const std::string& bytes, std::string* error);

}  // namespace certauth
