// The host set: a string arena and an open-addressing table over it.
#include "filter/host_set.h"

#include <cstring>
#include <new>

namespace {

constexpr std::uint64_t HASH_BASE = 0x100000001B3ull;

char folded(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// A suffix's hash grows one byte to the left at a time: the hash of "." +
// X is a step from the hash of X, so a query hashes its host once.
std::uint64_t step_left(std::uint64_t hash, char c) {
  return hash * HASH_BASE + static_cast<unsigned char>(folded(c));
}

std::uint64_t mixed(std::uint64_t hash, std::size_t size) {
  std::uint64_t k = (hash ^ (static_cast<std::uint64_t>(size) << 56)) * 0x9E3779B97F4A7C15ull;
  return k ^ (k >> 29);
}

// The high half of the key, which depends on every byte; bit 0 is set so
// that a used slot never reads as empty.
std::uint32_t tag_of(std::uint64_t key) {
  return static_cast<std::uint32_t>(key >> 32) | 1u;
}

bool same_folded(std::string_view stored, std::string_view host) {
  if (stored.size() != host.size()) return false;
  for (std::size_t i = 0; i < host.size(); ++i) {
    if (stored[i] != folded(host[i])) return false;
  }
  return true;
}

std::string_view without_trailing_dot(std::string_view host) {
  if (host.size() > 1 && host.back() == '.') host.remove_suffix(1);
  return host;
}

}  // namespace

bool is_address_literal(std::string_view host) {
  if (host.empty()) return false;
  if (host.front() == '[' || host.find(':') != std::string_view::npos) return true;
  for (char c : host) {
    if ((c < '0' || c > '9') && c != '.') return false;
  }
  return true;
}

// The slot index comes from the tag, so that growing the table never needs
// the names again.
std::size_t HostSet::home_of(std::uint32_t tag) const {
  return (tag >> 1) & (slots_.size() - 1);
}

const HostSet::Slot* HostSet::find(std::string_view host, std::uint64_t hash) const {
  const std::uint32_t tag = tag_of(mixed(hash, host.size()));
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = home_of(tag);; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (slot.tag == 0) return &slot;
    if (slot.tag == tag) {
      const std::size_t offset = slot.offset;
      const auto size = static_cast<unsigned char>(arena_[offset]);
      if (same_folded(std::string_view(arena_.data() + offset + 1, size), host)) return &slot;
    }
  }
}

void HostSet::grow() {
  std::vector<Slot> old(slots_.empty() ? 1024 : slots_.size() * 2);
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.tag == 0) continue;
    std::size_t at = home_of(slot.tag);
    while (slots_[at].tag != 0) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

void HostSet::shrink_to_fit() {
  arena_.shrink_to_fit();
}

void HostSet::add(std::string_view host, unsigned bits) {
  host = without_trailing_dot(host);
  if (host.empty() || host.size() > MAX_HOST || bits == 0) return;
  // Offsets are kept in 32 bits: a set of 4 GiB of names takes no more.
  if (arena_.size() + host.size() + 1 >= (std::size_t{1} << 32)) throw std::bad_alloc();
  // At most three quarters full: a probe for an absent name (most probes
  // are) still ends within a few slots of one cache line.
  if ((used_ + 1) * 4 > slots_.size() * 3) grow();
  std::uint64_t hash = 0;
  for (std::size_t i = host.size(); i > 0; --i) hash = step_left(hash, host[i - 1]);
  auto* slot = const_cast<Slot*>(find(host, hash));
  if (slot->tag != 0) {
    slot->bits |= bits;
    return;
  }
  const std::size_t offset = arena_.size();
  arena_ += static_cast<char>(host.size());
  arena_ += host;
  for (std::size_t i = offset + 1; i < arena_.size(); ++i) arena_[i] = folded(arena_[i]);
  slot->tag = tag_of(mixed(hash, host.size()));
  slot->offset = static_cast<std::uint32_t>(offset);
  slot->bits = bits;
  ++used_;
}

HostSet::Found HostSet::find_all(std::string_view host) const {
  Found found;
  host = without_trailing_dot(host);
  if (used_ == 0 || host.empty() || host.size() > MAX_HOST) return found;
  const bool literal = is_address_literal(host);
  // The host itself and each parent domain, shortest first.
  std::uint64_t hash = 0;
  for (std::size_t i = host.size(); i > 0; --i) {
    hash = step_left(hash, host[i - 1]);
    const std::size_t start = i - 1;
    if (start != 0 && (literal || host[start - 1] != '.')) continue;
    const Slot* slot = find(host.substr(start), hash);
    if (slot->tag == 0) continue;
    (start == 0 ? found.self : found.parents) |= slot->bits;
  }
  return found;
}
