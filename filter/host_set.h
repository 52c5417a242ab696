// A compact set of host names, for the whole-host rules that make up most of
// an imported list: "||example.com^" (the host and every subdomain) and
// hosts-file entries (the host alone).
//
// The names live one after another in one string arena; a hash table of
// 8-byte slots points into it. A query hashes the request's host from its
// end, label by label, so it looks up the host itself and each parent domain
// once, with no allocation. Host names are compared without regard to ASCII
// letter case, and one trailing dot ("example.com.", the same host) is
// ignored. An IP address literal is never a subdomain of anything, so only
// its exact entry counts.
//
// Built by one thread with add(); once built it is only read, and any number
// of threads may query it at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class HostSet {
 public:
  // What an entry covers, for matches(); an entry may cover both.
  static constexpr unsigned EXACT = 1;       // the host itself
  static constexpr unsigned SUBDOMAINS = 2;  // hosts ending in "." + the host

  // Adds `host` (a name of at most MAX_HOST bytes; longer ones are ignored)
  // with `bits` (EXACT and SUBDOMAINS, or a caller's own meanings: several
  // sets share one table and one look-up that way); adding a name again adds
  // to its bits. May throw std::bad_alloc.
  void add(std::string_view host, unsigned bits);

  // The bits of the entry for `host` itself, and those of the entries for
  // its parent domains together (none for an address literal).
  struct Found {
    unsigned self = 0;
    unsigned parents = 0;
  };
  Found find_all(std::string_view host) const;

  // Whether some entry covers `host`: its own with EXACT, or a parent
  // domain's with SUBDOMAINS.
  bool matches(std::string_view host) const {
    const Found found = find_all(host);
    return (found.self & EXACT) != 0 || (found.parents & SUBDOMAINS) != 0;
  }

  // Gives back the room kept for further names; call once all are added.
  void shrink_to_fit();

  bool empty() const { return used_ == 0; }
  std::size_t size() const { return used_; }
  // Bytes held, for the cost measurements.
  std::size_t memory_bytes() const { return arena_.capacity() + slots_.capacity() * sizeof(Slot); }

  static constexpr std::size_t MAX_HOST = 255;

 private:
  struct Slot {
    std::uint32_t tag = 0;     // high bits of the hash, never 0 in a used slot
    std::uint32_t offset = 0;  // of the name in the arena
    std::uint32_t bits = 0;
  };

  void grow();
  std::size_t home_of(std::uint32_t tag) const;
  // The slot of `host` (folded to lower case, `hash` its hash), or the empty
  // slot where it would go.
  const Slot* find(std::string_view host, std::uint64_t hash) const;

  std::string arena_;  // each name: one length byte, then its bytes
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

// Whether `host` is an IPv4 or IPv6 address literal rather than a name.
bool is_address_literal(std::string_view host);
