// Minting and caching host certificates for inspected connections.
#include "certauth/leaf_certs.h"

#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cctype>

namespace certauth {
namespace {

bool is_address(const std::string& host, bool* ipv6) {
  unsigned char address[16];
  *ipv6 = false;
  if (inet_pton(AF_INET, host.c_str(), address) == 1) return true;
  *ipv6 = inet_pton(AF_INET6, host.c_str(), address) == 1;
  return *ipv6;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool add_extension(X509* certificate, X509V3_CTX* context, int nid, const std::string& value) {
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, context, nid, value.c_str());
  if (extension == nullptr) return false;
  const bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

}  // namespace

bool certifiable_host(std::string_view host) {
  if (host.empty() || host.size() > HOST_NAME_MAX_LENGTH) return false;
  bool ipv6 = false;
  if (is_address(std::string(host), &ipv6)) return true;
  char previous = '.';
  for (const char c : host) {
    const bool label_byte = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
    if (!label_byte && c != '.') return false;
    if (c == '.' && previous == '.') return false;  // an empty label
    previous = c;
  }
  return previous != '.';
}

LeafCache::LeafCache(std::shared_ptr<const LoadedAuthority> authority)
    : authority_(std::move(authority)) {
  if (EVP_PKEY* key = EVP_EC_gen("P-256"); key != nullptr) {
    key_.reset(key, EVP_PKEY_free);
  } else {
    ERR_clear_error();
  }
}

std::shared_ptr<const Leaf> LeafCache::mint(std::string_view host_text) const {
  if (!ok() || !certifiable_host(host_text)) return nullptr;
  const std::string host = lower(host_text);
  auto leaf = std::make_shared<Leaf>();
  leaf->key = key_;
  leaf->minted = std::chrono::steady_clock::now();
  leaf->certificate.reset(X509_new());
  X509* cert = leaf->certificate.get();
  if (cert == nullptr) return nullptr;
  unsigned char serial_bytes[16];
  if (RAND_bytes(serial_bytes, sizeof serial_bytes) != 1) return nullptr;
  serial_bytes[0] &= 0x7f;
  BIGNUM* serial = BN_bin2bn(serial_bytes, sizeof serial_bytes, nullptr);
  const bool serial_set =
      serial != nullptr && BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert)) != nullptr;
  BN_free(serial);
  X509* ca = authority_->certificate.get();
  X509_NAME* name = X509_get_subject_name(cert);
  // A common name holds at most 64 characters; the SAN is what browsers read.
  const std::string common_name = host.substr(0, 64);
  bool ok = serial_set && X509_set_version(cert, 2) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(cert), -LEAF_BACKDATE_SECONDS) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(cert), LEAF_VALIDITY_HOURS * 3600L) != nullptr &&
            X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(common_name.c_str()),
                                       -1, -1, 0) == 1 &&
            X509_set_issuer_name(cert, X509_get_subject_name(ca)) == 1 &&
            X509_set_pubkey(cert, key_.get()) == 1;
  if (!ok) return nullptr;
  bool ipv6 = false;
  const std::string alternative = (is_address(host, &ipv6) ? "IP:" : "DNS:") + host;
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, ca, cert, nullptr, nullptr, 0);
  ok = add_extension(cert, &context, NID_basic_constraints, "critical,CA:FALSE") &&
       add_extension(cert, &context, NID_key_usage, "critical,digitalSignature") &&
       add_extension(cert, &context, NID_ext_key_usage, "serverAuth") &&
       add_extension(cert, &context, NID_subject_key_identifier, "hash") &&
       add_extension(cert, &context, NID_authority_key_identifier, "keyid:always") &&
       add_extension(cert, &context, NID_subject_alt_name, alternative) &&
       X509_sign(cert, authority_->key.get(), EVP_sha256()) > 0;
  if (!ok) {
    ERR_clear_error();
    return nullptr;
  }
  return leaf;
}

std::shared_ptr<const Leaf> LeafCache::leaf_for(std::string_view host_text) {
  const std::string host = lower(host_text);
  const auto now = std::chrono::steady_clock::now();
  const auto renew_after = std::chrono::hours(LEAF_VALIDITY_HOURS) / 2;
  {
    std::lock_guard lock(mutex_);
    if (auto found = entries_.find(host); found != entries_.end()) {
      if (now - found->second.leaf->minted < renew_after) {
        order_.splice(order_.begin(), order_, found->second.position);
        return found->second.leaf;
      }
      order_.erase(found->second.position);
      entries_.erase(found);
    }
  }
  std::shared_ptr<const Leaf> leaf = mint(host);
  if (!leaf) return nullptr;
  std::lock_guard lock(mutex_);
  // Another thread may have minted the same host meanwhile: keep theirs.
  if (auto found = entries_.find(host); found != entries_.end()) return found->second.leaf;
  order_.push_front(host);
  entries_.emplace(host, Entry{leaf, order_.begin()});
  while (entries_.size() > LEAF_CACHE_CAPACITY) {
    entries_.erase(order_.back());
    order_.pop_back();
  }
  return leaf;
}

std::size_t LeafCache::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace certauth
