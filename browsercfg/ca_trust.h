// Trusting Vellomar's local inspection authority in the browsers, and taking
// that trust away again.
//
// The browsers keep their trusted authorities in NSS databases: one per
// Firefox profile (cert9.db in the profile folder, found through every
// profiles.ini the way desktopproxy finds them) and the user's shared
// database ~/.pki/nssdb that Chromium and Chrome read. Entries are added and
// removed with `certutil` (Debian's libnss3-tools), which writes the SQLite
// databases safely beside a running browser.
//
// Only Vellomar's own entry is ever touched: the nickname
// CA_TRUST_NICKNAME and the certificate's SHA-256 fingerprint must both
// match before anything is changed or removed, so a user's certificate, even
// one with the same subject, stays as it is.
//
// Runs on the caller's thread and starts certutil as a child process (each
// run bounded by CERTUTIL_TIMEOUT_SECONDS); holds no state between calls.
// Never throws; every failure is in the result.
#pragma once

#include <string>
#include <vector>

namespace browsercfg {

inline constexpr char CA_TRUST_NICKNAME[] = "Vellomar local inspection authority";
// Trusted to issue web server certificates only (not mail, not code).
inline constexpr char CA_TRUST_FLAGS[] = "C,,";
constexpr int CERTUTIL_TIMEOUT_SECONDS = 30;

// What happened to one NSS database.
struct StoreResult {
  std::string label;   // "Firefox profile FOLDER" or "shared NSS database FOLDER"
  std::string folder;  // the database folder
  bool ok = false;     // the store is as asked (status: it could be read)
  bool changed = false;
  bool trusted = false;          // the authority is trusted there afterwards
  bool browser_running = false;  // a Firefox has this profile open
  std::string detail;            // a sentence: what was done, or why it failed
};

struct TrustReport {
  std::string error;  // the whole operation failed (no certutil, no certificate)
  std::vector<StoreResult> stores;
  bool ok() const;
};

// The certificate's SHA-256 fingerprint as upper-case hex pairs joined by
// ":", or "" (and *error) when `pem_path` holds no readable certificate.
std::string certificate_fingerprint(const std::string& pem_path, std::string* error);

// The NSS databases of this user that trust operations look at: every
// Firefox profile folder and ~/.pki/nssdb (existing or not).
std::vector<std::string> trust_store_folders();

// Adds the certificate in `pem_path` under CA_TRUST_NICKNAME with
// CA_TRUST_FLAGS to every Firefox profile and to the shared database (made,
// with an empty password as Chromium makes it, when absent). A store whose
// entry of that nickname holds another certificate is left alone and fails.
TrustReport trust_authority(const std::string& pem_path);

// Removes the entry named CA_TRUST_NICKNAME whose certificate has
// `sha256_fingerprint` from every store that holds it.
TrustReport untrust_authority(const std::string& sha256_fingerprint);

// Where the certificate with `sha256_fingerprint` is trusted now (stores
// that exist only; nothing is created or changed).
TrustReport authority_trust_status(const std::string& sha256_fingerprint);

}  // namespace browsercfg
