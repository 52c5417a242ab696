// Host certificates for inspected HTTPS connections, minted on demand and
// signed by the local authority: ECDSA P-256, the host as the only subject
// alternative name (a DNS name, or an IP address for an address), valid for
// LEAF_VALIDITY_HOURS from LEAF_BACKDATE_SECONDS ago (for clocks a little
// behind). They exist only in memory.
//
// A LeafCache belongs to one authority, so a new authority never serves
// certificates of an old one; it keeps the LEAF_CACHE_CAPACITY most recently
// used hosts and mints a host's certificate again once half its validity has
// passed. All calls are safe from any number of threads at once: the cache is
// guarded by one lock, which is never held while minting.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "certauth/authority.h"

namespace certauth {

inline constexpr std::size_t LEAF_CACHE_CAPACITY = 2048;
inline constexpr int LEAF_VALIDITY_HOURS = 7 * 24;
inline constexpr long LEAF_BACKDATE_SECONDS = 60L * 60;
// Host names longer than this (the DNS limit) get no certificate.
inline constexpr std::size_t HOST_NAME_MAX_LENGTH = 253;

// One host's certificate and its private key (shared by the leaves of one
// cache). Immutable.
struct Leaf {
  std::unique_ptr<X509, void (*)(X509*)> certificate{nullptr, X509_free};
  std::shared_ptr<EVP_PKEY> key;
  std::chrono::steady_clock::time_point minted;
};

// Whether `host` can be named in a certificate: an IPv4 or IPv6 address, or
// a DNS name of letters, digits, "-", "_" and "." (at most 253 characters,
// no empty label). Hosts that cannot are never inspected.
bool certifiable_host(std::string_view host);

class LeafCache {
 public:
  // `authority` must be usable (load_authority); the cache keeps it alive.
  // Makes the leaves' key; `ok()` is false when that failed.
  explicit LeafCache(std::shared_ptr<const LoadedAuthority> authority);
  bool ok() const { return key_ != nullptr; }
  const LoadedAuthority& authority() const { return *authority_; }

  // The certificate for `host` (letter case ignored), from the cache or
  // minted now; null when the host is not certifiable or minting failed.
  std::shared_ptr<const Leaf> leaf_for(std::string_view host);

  // Mints a certificate without looking at or filling the cache.
  std::shared_ptr<const Leaf> mint(std::string_view host) const;

  std::size_t size() const;

 private:
  using Order = std::list<std::string>;
  struct Entry {
    std::shared_ptr<const Leaf> leaf;
    Order::iterator position;
  };
  std::shared_ptr<const LoadedAuthority> authority_;
  std::shared_ptr<EVP_PKEY> key_;
  mutable std::mutex mutex_;
  Order order_;  // most recently used first
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace certauth
