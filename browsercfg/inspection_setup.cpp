#include "browsercfg/inspection_setup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "browsercfg/ca_trust.h"
#include "certauth/authority.h"
#include "settings/registry_settings.h"

namespace browsercfg {
namespace {

bool file_exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

}  // namespace

InspectionRemoval delete_authority_key() {
  InspectionRemoval removal;
  const std::string key = certauth::authority_key_path();
  const std::string certificate = certauth::authority_certificate_path();
  if (unlink(key.c_str()) == 0) {
    removal.lines.push_back("deleted the authority's private key " + key);
  } else if (errno != ENOENT) {
    removal.lines.push_back("cannot delete the authority's private key " + key + ": " +
                            std::strerror(errno));
    return removal;
  }
  if (!file_exists(certificate)) {
    std::string error;
    removal.ok = certauth::delete_authority(&error);
    if (!removal.ok) removal.lines.push_back("cannot delete the authority: " + error);
    return removal;
  }
  std::string error;
  const std::string fingerprint = certificate_fingerprint(certificate, &error);
  std::string still;
  if (!fingerprint.empty()) {
    const TrustReport trust = authority_trust_status(fingerprint);
    if (!trust.error.empty())
      still = "whether a browser still trusts it is unknown (" + trust.error + ")";
    for (const StoreResult& store : trust.stores) {
      if (store.trusted || !store.ok) {
        still += (still.empty() ? "still trusted in " : ", ") + store.label;
      }
    }
  }
  if (!still.empty()) {
    removal.ok = true;
    removal.lines.push_back("kept the authority's certificate " + certificate + ": " + still +
                            "; \"vmhttps untrust\" removes it there");
    return removal;
  }
  removal.ok = certauth::delete_authority(&error);
  removal.lines.push_back(removal.ok ? "deleted the authority's certificate " + certificate
                                     : "cannot delete the authority's certificate: " + error);
  return removal;
}

InspectionRemoval remove_inspection() {
  InspectionRemoval removal;
  removal.ok = true;
  if (https_inspection_enabled()) {
    if (set_https_inspection_enabled(false)) {
      removal.lines.push_back("HTTPS inspection switched off.");
    } else {
      removal.ok = false;
      removal.lines.push_back("HTTPS inspection could not be switched off in the registry.");
    }
  }
  const std::string certificate = certauth::authority_certificate_path();
  if (!file_exists(certificate) && !file_exists(certauth::authority_key_path())) return removal;
  std::string error;
  const std::string fingerprint = certificate_fingerprint(certificate, &error);
  if (!fingerprint.empty()) {
    const TrustReport untrusted = untrust_authority(fingerprint);
    if (!untrusted.error.empty()) {
      removal.ok = false;
      removal.lines.push_back(
          "The local inspection authority could not be removed from the "
          "browsers: " +
          untrusted.error + ".");
    }
    for (const StoreResult& store : untrusted.stores) {
      if (!store.ok) removal.ok = false;
      if (store.changed || !store.ok) {
        removal.lines.push_back("Local inspection authority, " + store.label + ": " + store.detail +
                                ".");
      }
    }
  }
  InspectionRemoval key = delete_authority_key();
  removal.ok = removal.ok && key.ok;
  for (std::string& line : key.lines) {
    line[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
    removal.lines.push_back(line + ".");
  }
  return removal;
}

}  // namespace browsercfg
