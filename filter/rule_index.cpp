// Look-up structures over a rule list (see rule_index.h).
//
// A query must stay fast however long the list grows, so it avoids walking
// deep structures whose every step may miss the processor's caches. Each
// table of texts keeps, in front of its slots, a bitmap of the keys present
// (a small fraction of the table's size) that turns away nearly every key
// that has no text, so the slots are read only for real candidates.
//
// "<" prefixes and ">" suffixes sit in one table per target, keyed by kind,
// length and a polynomial hash; one pass over the target forwards and one
// backwards compute the hash of every prefix and suffix, and only lengths
// that some text has are probed. At lengths 8, 16, 32, ... a pass also asks
// the bitmap whether any longer text starts (or ends) the way the target
// does, and stops when none does. Whole texts have a table of their own per
// target, probed once with the hash of the whole target, which is computed
// four bytes a step.
//
// "$" texts are found through one rare run of bytes each ("anchor"). The
// anchors of the host's, the path's and the address's rules share one table,
// so one pass over host and path together looks up every run once, and a
// table of 65 536 bits on the runs' first two bytes turns away most runs
// before the bitmap is read. Each text anchored at a run found is compared
// in place, and counts only if it lies in its rule's target. Texts shorter
// than an anchor, and texts whose anchor many others share, go to an
// Aho-Corasick automaton of their target instead, which is small in any
// ordinary list and bounds the work per byte in any other.
//
// The automaton is stored breadth first in flat arrays: node 0 is the root,
// the children of a node are consecutive, and edge e (in the order the edges
// were made) leads to node e + 1, so a node needs only the start of its edge
// labels. The root's edges are also kept in a table of 256 for a direct step.
#include "filter/rule_index.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "filter/split_text.h"

// The per-byte steps are lambdas handed to loops over the two parts of a
// target; they must be inlined for the loops to keep their state in
// registers.
#define INLINE_STEP __attribute__((always_inline))

namespace {

constexpr std::uint32_t NO_RULE = 0xFFFFFFFFu;

struct Pattern {
  std::string_view text;
  std::uint32_t position;
};

// Sorts by text and keeps, for each distinct text, its first position.
void sort_unique(std::vector<Pattern>& patterns) {
  std::sort(patterns.begin(), patterns.end(), [](const Pattern& a, const Pattern& b) {
    int order = a.text.compare(b.text);
    return order != 0 ? order < 0 : a.position < b.position;
  });
  auto end = std::unique(patterns.begin(), patterns.end(),
                         [](const Pattern& a, const Pattern& b) { return a.text == b.text; });
  patterns.erase(end, patterns.end());
}

std::uint32_t lowest_position(const std::vector<Pattern>& patterns) {
  std::uint32_t lowest = NO_RULE;
  for (const Pattern& p : patterns) lowest = std::min(lowest, p.position);
  return lowest;
}

// Calls `step` with each byte of the text in order; `step` returns false to
// stop early.
template <class Step>
INLINE_STEP inline void for_each_byte(const SplitText& t, Step step) {
  for (std::size_t i = 0; i < t.head_size; ++i) {
    if (!step(static_cast<unsigned char>(t.head[i]))) return;
  }
  for (std::size_t i = 0; i < t.tail_size; ++i) {
    if (!step(static_cast<unsigned char>(t.tail[i]))) return;
  }
}

template <class Step>
INLINE_STEP inline void for_each_byte_backwards(const SplitText& t, Step step) {
  for (std::size_t i = t.tail_size; i > 0; --i) {
    if (!step(static_cast<unsigned char>(t.tail[i - 1]))) return;
  }
  for (std::size_t i = t.head_size; i > 0; --i) {
    if (!step(static_cast<unsigned char>(t.head[i - 1]))) return;
  }
}

// Aho-Corasick automaton over "$" texts.
class Automaton {
 public:
  // `patterns` must be sorted and unique (sort_unique).
  void build(const std::vector<Pattern>& patterns) {
    lowest_ = lowest_position(patterns);
    struct Range {
      std::uint32_t begin, end, depth;
    };
    std::vector<Range> nodes;
    nodes.push_back({0, static_cast<std::uint32_t>(patterns.size()), 0});
    for (std::size_t id = 0; id < nodes.size(); ++id) {
      auto [begin, end, depth] = nodes[id];
      std::uint32_t best = NO_RULE;
      // Sorted: a text that ends at this depth comes first in its range.
      if (begin < end && patterns[begin].text.size() == depth) best = patterns[begin++].position;
      best_.push_back(best);
      edge_begin_.push_back(static_cast<std::uint32_t>(labels_.size()));
      while (begin < end) {
        unsigned char c = static_cast<unsigned char>(patterns[begin].text[depth]);
        std::uint32_t group_end = begin + 1;
        while (group_end < end &&
               static_cast<unsigned char>(patterns[group_end].text[depth]) == c) {
          ++group_end;
        }
        labels_.push_back(c);
        nodes.push_back({begin, group_end, depth + 1});
        begin = group_end;
      }
    }
    edge_begin_.push_back(static_cast<std::uint32_t>(labels_.size()));
    root_next_.fill(0);
    for (std::uint32_t e = edge_begin_[0]; e < edge_begin_[1]; ++e) root_next_[labels_[e]] = e + 1;
    link_failures();
  }

  std::uint32_t lowest() const { return lowest_; }

  // Smallest position among the texts that occur in the target.
  std::uint32_t first_substring(const SplitText& target, std::uint32_t best) const {
    std::uint32_t node = 0;
    for_each_byte(target, [&](unsigned char c) INLINE_STEP {
      for (;;) {
        std::uint32_t next = child(node, c);
        if (next != 0) {
          node = next;
          break;
        }
        if (node == 0) break;
        node = failure_[node];
      }
      best = std::min(best, best_[node]);
      return true;
    });
    return best;
  }

 private:
  std::uint32_t child(std::uint32_t node, unsigned char c) const {
    if (node == 0) return root_next_[c];
    const unsigned char* labels = labels_.data();
    for (std::uint32_t e = edge_begin_[node], end = edge_begin_[node + 1]; e < end; ++e) {
      if (labels[e] == c) return e + 1;
    }
    return 0;
  }

  // Each node's failure link is the longest proper suffix of
  // its text that is also a node; its best position also covers every text
  // that ends there by way of those links. Nodes are numbered breadth first,
  // so a link always points at a node already finished.
  void link_failures() {
    std::size_t count = best_.size();
    failure_.assign(count, 0);
    for (std::uint32_t node = 0; node < count; ++node) {
      for (std::uint32_t e = edge_begin_[node]; e < edge_begin_[node + 1]; ++e) {
        std::uint32_t next = e + 1;
        unsigned char c = labels_[e];
        std::uint32_t link = 0;
        if (node != 0) {
          std::uint32_t from = failure_[node];
          for (;;) {
            std::uint32_t step = child(from, c);
            if (step != 0) {
              link = step;
              break;
            }
            if (from == 0) break;
            from = failure_[from];
          }
        }
        failure_[next] = link;
        best_[next] = std::min(best_[next], best_[link]);
      }
    }
  }

  std::vector<std::uint32_t> edge_begin_;
  std::vector<unsigned char> labels_;
  std::vector<std::uint32_t> best_;
  std::vector<std::uint32_t> failure_;
  std::array<std::uint32_t, 256> root_next_{};
  std::uint32_t lowest_ = NO_RULE;
};

// Lengths of the runs that "$" texts are anchored by: texts of at least
// LONG_ANCHOR bytes by a run of that length, shorter ones of at least
// SHORT_ANCHOR bytes by a run of that length.
constexpr std::size_t LONG_ANCHOR = 8;
constexpr std::size_t SHORT_ANCHOR = 4;
// An anchor shared by more texts than this sends them to the automaton.
constexpr std::size_t CROWDED_ANCHOR = 16;
// Bits of the key bitmap per key.
constexpr std::size_t BITMAP_BITS_PER_KEY = 16;

constexpr std::uint64_t HASH_BASE = 0x100000001B3ull;

enum KeyKind : std::uint64_t {
  WHOLE = 1,
  PREFIX = 2,
  SUFFIX = 3,
  ANCHOR = 4,
  PREFIX_HEAD = 5,  // bitmap only: the first L bytes of a longer "<" text
  SUFFIX_HEAD = 6,  // bitmap only: the last L bytes of a longer ">" text
};

// Lengths at which a pass along the target checks whether any longer text
// still begins (or, backwards, ends) the way the target does, and stops when
// none does: 8, 16, 32, ...
constexpr std::size_t FIRST_CHECKPOINT = 8;
bool is_checkpoint(std::size_t length) {
  return length >= FIRST_CHECKPOINT && (length & (length - 1)) == 0;
}

// One multiplication spreads the hash's bits upwards; the shift brings the
// high half, which depends on every byte, down to the bits the table uses.
std::uint64_t key_of(KeyKind kind, std::size_t size, std::uint64_t hash) {
  std::uint64_t k =
      (hash ^ (kind << 56) ^ (static_cast<std::uint64_t>(size) << 48)) * 0x9E3779B97F4A7C15ull;
  return k ^ (k >> 31);
}

std::uint64_t hash_forwards(std::string_view text) {
  std::uint64_t h = 0;
  for (char c : text) h = h * HASH_BASE + static_cast<unsigned char>(c);
  return h;
}

// The hash of a text extended by `size` more bytes: the same value as one
// byte at a time, with four bytes to each step of the chain of
// multiplications, which bounds how fast the bytewise loop can go.
constexpr std::uint64_t HASH_BASE_2 = HASH_BASE * HASH_BASE;
constexpr std::uint64_t HASH_BASE_3 = HASH_BASE_2 * HASH_BASE;
constexpr std::uint64_t HASH_BASE_4 = HASH_BASE_3 * HASH_BASE;

std::uint64_t extend_hash(std::uint64_t h, const char* bytes, std::size_t size) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  std::size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    h = h * HASH_BASE_4 +
        (p[i] * HASH_BASE_3 + p[i + 1] * HASH_BASE_2 + p[i + 2] * HASH_BASE + p[i + 3]);
  }
  for (; i < size; ++i) h = h * HASH_BASE + p[i];
  return h;
}

// The same over the bytes of `t` from `from` on.
std::uint64_t extend_hash(std::uint64_t h, const SplitText& t, std::size_t from) {
  if (from < t.head_size) {
    h = extend_hash(h, t.head + from, t.head_size - from);
    from = t.head_size;
  }
  return extend_hash(h, t.tail + (from - t.head_size), t.tail_size - (from - t.head_size));
}

std::uint64_t hash_backwards(std::string_view text) {
  std::uint64_t h = 0;
  for (std::size_t i = text.size(); i > 0; --i) {
    h = h * HASH_BASE + static_cast<unsigned char>(text[i - 1]);
  }
  return h;
}

// The `size` bytes from `at` as one number (first byte lowest).
std::uint64_t run_at(std::string_view text, std::size_t at, std::size_t size) {
  std::uint64_t run = 0;
  for (std::size_t i = 0; i < size; ++i) {
    run |= static_cast<std::uint64_t>(static_cast<unsigned char>(text[at + i])) << (8 * i);
  }
  return run;
}

std::size_t anchor_size_for(std::size_t text_size) {
  return text_size >= LONG_ANCHOR ? LONG_ANCHOR : text_size >= SHORT_ANCHOR ? SHORT_ANCHOR : 0;
}

// How often each key was added: open addressing, an empty slot has count 0.
class KeyCounter {
 public:
  void add(std::uint64_t key) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    Slot& slot = find(key);
    if (slot.count == 0) {
      slot.key = key;
      ++used_;
    }
    ++slot.count;
  }

  std::uint32_t count(std::uint64_t key) const {
    if (slots_.empty()) return 0;
    std::size_t at = (key ^ (key >> 29)) & mask_;
    while (slots_[at].count != 0) {
      if (slots_[at].key == key) return slots_[at].count;
      at = (at + 1) & mask_;
    }
    return 0;
  }

 private:
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t count = 0;
  };

  Slot& find(std::uint64_t key) {
    std::size_t at = (key ^ (key >> 29)) & mask_;
    while (slots_[at].count != 0 && slots_[at].key != key) at = (at + 1) & mask_;
    return slots_[at];
  }

  void grow() {
    std::vector<Slot> old(std::max<std::size_t>(16, slots_.size() * 2));
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.count != 0) find(slot.key) = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t used_ = 0;
};

// Roughly how often each run of bytes occurs in all the list's texts: a
// count-min sketch of fixed size. The list's texts stand for the requests it
// is meant for, so a run rare among them is rare among requests too, and
// anchoring on it keeps look-ups that find an anchor but not its text rare.
class RunSketch {
 public:
  explicit RunSketch(std::size_t runs) {
    std::size_t cells = 1024;
    while (cells < runs && cells < MAX_CELLS) cells *= 2;
    mask_ = cells - 1;
    rows_[0].assign(cells, 0);
    rows_[1].assign(cells, 0);
  }
  void add(std::uint64_t key) {
    for (int row = 0; row < 2; ++row) {
      std::uint16_t& cell = rows_[row][cell_of(key, row)];
      if (cell != 0xFFFF) ++cell;
    }
  }
  std::uint32_t estimate(std::uint64_t key) const {
    return std::min(rows_[0][cell_of(key, 0)], rows_[1][cell_of(key, 1)]);
  }

 private:
  static constexpr std::size_t MAX_CELLS = std::size_t{1} << 21;
  std::size_t cell_of(std::uint64_t key, int row) const {
    return (row == 0 ? key : key >> 32) & mask_;
  }
  std::array<std::vector<std::uint16_t>, 2> rows_;
  std::size_t mask_ = 0;
};

// Which text lengths occur, for a quick "none of this length".
class LengthSet {
 public:
  void add(std::size_t size) {
    if (size < small_.size()) {
      small_[size] = true;
    } else {
      has_long_ = true;
    }
    longest_ = std::max(longest_, size);
  }
  bool has(std::size_t size) const { return size < small_.size() ? small_[size] : has_long_; }
  std::size_t longest() const { return longest_; }

 private:
  std::array<bool, 256> small_{};
  bool has_long_ = false;
  std::size_t longest_ = 0;
};

// Which part of a request a rule's text is tested against.
enum Scope : std::uint32_t {
  HOST = 0,
  PATH = 1,
  ADDRESS = 2,  // the host immediately followed by the path
};

// Texts filed under 64-bit keys: open addressing over slots that carry the
// key, the text's place and its rule's position, and in front of them a
// bitmap of the keys present (BITMAP_BITS_PER_KEY bits a key), so that a key
// that is absent is nearly always turned away by one word that stays in a
// near cache, without touching the slots.
class KeyTable {
 public:
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t offset = 0;  // of the text in texts_
    std::uint32_t size = 0;
    std::uint32_t position = NO_RULE;
    std::uint32_t tag_and_offset = 0;  // tag << 28 | anchor offset

    std::uint32_t tag() const { return tag_and_offset >> 28; }
    std::uint32_t anchor_offset() const { return tag_and_offset & 0x0FFFFFFFu; }
  };

  // Room for `texts` inserted texts and `keys` distinct keys in all,
  // bitmap-only ones included.
  void reserve(std::size_t texts, std::size_t keys) {
    std::size_t capacity = 8;
    while (capacity < texts * 2) capacity *= 2;
    slots_.assign(capacity, Slot{});
    slot_mask_ = capacity - 1;
    bitmap_.assign(keys * BITMAP_BITS_PER_KEY / 64 + 1, 0);
  }

  // `tag` is the caller's (at most 15); `anchor_offset` less than 2^28.
  void insert(std::uint64_t key, std::string_view text, std::uint32_t position, std::uint32_t tag,
              std::uint32_t anchor_offset) {
    mark(key);
    std::size_t at = key & slot_mask_;
    while (slots_[at].position != NO_RULE) at = (at + 1) & slot_mask_;
    slots_[at] = Slot{key, static_cast<std::uint32_t>(texts_.size()),
                      static_cast<std::uint32_t>(text.size()), position, tag << 28 | anchor_offset};
    texts_.append(text);
  }

  // A key in the bitmap alone, with no slot.
  void mark(std::uint64_t key) { bitmap_[word_of(key)] |= bloom_bits(key); }

  bool may_hold(std::uint64_t key) const {
    std::uint64_t bits = bloom_bits(key);
    return (bitmap_[word_of(key)] & bits) == bits;
  }

  // Calls `found(slot)` for every slot with `key`.
  template <class Found>
  void for_each_slot(std::uint64_t key, Found found) const {
    for (std::size_t at = key & slot_mask_; slots_[at].position != NO_RULE;
         at = (at + 1) & slot_mask_) {
      if (slots_[at].key == key) found(slots_[at]);
    }
  }

  const char* text_of(const Slot& slot) const { return texts_.data() + slot.offset; }

 private:
  // Three bits of one word per key: a word is read once per test, and a key
  // that is absent passes only when all three happen to be set.
  static std::uint64_t bloom_bits(std::uint64_t key) {
    return (std::uint64_t{1} << (key & 63)) | (std::uint64_t{1} << ((key >> 6) & 63)) |
           (std::uint64_t{1} << ((key >> 12) & 63));
  }

  // The word of a key: its high half scaled to the bitmap's size.
  std::size_t word_of(std::uint64_t key) const { return ((key >> 32) * bitmap_.size()) >> 32; }

  std::vector<Slot> slots_;
  std::size_t slot_mask_ = 0;
  std::vector<std::uint64_t> bitmap_;
  std::string texts_;
};

// "$" texts anchored at one run of bytes each, from the rules of every scope
// of one list at once: a single pass over the host and path together finds
// them all, and an occurrence counts for a rule only if it lies in the rule's
// scope. Most positions of a request are turned away before the key bitmap
// by a table of the runs' first two bytes, small enough to stay in the
// fastest cache.
class AnchorIndex {
 public:
  // `text` must stay alive until finish() returns; `offset` is where its
  // anchor starts, which anchor_size_for(text.size()) long.
  void add(std::string_view text, std::uint32_t position, std::uint32_t offset, Scope scope) {
    std::size_t size = anchor_size_for(text.size());
    (size == LONG_ANCHOR ? lowest_long_ : lowest_short_) =
        std::min(size == LONG_ANCHOR ? lowest_long_ : lowest_short_, position);
    pending_.push_back({text, position, offset, scope});
  }

  void finish() {
    table_.reserve(pending_.size(), pending_.size());
    for (const Pending& p : pending_) {
      std::size_t size = anchor_size_for(p.text.size());
      std::uint64_t run = run_at(p.text, p.offset, size);
      table_.insert(key_of(ANCHOR, size, run), p.text, p.position, p.scope, p.offset);
      std::size_t gram = run & 0xFFFF;
      (size == LONG_ANCHOR ? long_grams_ : short_grams_)[gram / 64] |= std::uint64_t{1}
                                                                       << (gram % 64);
    }
    std::vector<Pending>().swap(pending_);
  }

  // The smaller of `best` and the position of the first anchored rule whose
  // text occurs in its scope of `address` (whose first `host_size` bytes are
  // the host).
  std::uint32_t first_match(const SplitText& address, std::size_t host_size,
                            std::uint32_t best) const {
    bool want_long = lowest_long_ < best;
    bool want_short = lowest_short_ < best;
    if (!want_long && !want_short) return best;
    std::uint64_t run = 0;  // the last 8 bytes, the latest highest
    std::size_t seen = 0;
    auto try_run = [&](std::uint64_t key, std::size_t size, std::size_t at) INLINE_STEP {
      if (!table_.may_hold(key)) return;
      table_.for_each_slot(key, [&](const KeyTable::Slot& slot) INLINE_STEP {
        if (slot.position >= best || anchor_size_for(slot.size) != size ||
            at < slot.anchor_offset()) {
          return;
        }
        std::size_t start = at - slot.anchor_offset();
        bool in_scope = slot.tag() == HOST   ? start + slot.size <= host_size
                        : slot.tag() == PATH ? start >= host_size
                                             : true;
        if (in_scope && split_equals_at(address, start, table_.text_of(slot), slot.size)) {
          best = slot.position;
        }
      });
    };
    for_each_byte(address, [&](unsigned char c) INLINE_STEP {
      run = (run >> 8) | (static_cast<std::uint64_t>(c) << 56);
      ++seen;
      if (want_short && seen >= SHORT_ANCHOR) {
        std::uint64_t short_run = run >> 32;
        std::size_t gram = short_run & 0xFFFF;
        if ((short_grams_[gram / 64] >> (gram % 64)) & 1) {
          try_run(key_of(ANCHOR, SHORT_ANCHOR, short_run), SHORT_ANCHOR, seen - SHORT_ANCHOR);
        }
      }
      if (want_long && seen >= LONG_ANCHOR) {
        std::size_t gram = run & 0xFFFF;
        if ((long_grams_[gram / 64] >> (gram % 64)) & 1) {
          try_run(key_of(ANCHOR, LONG_ANCHOR, run), LONG_ANCHOR, seen - LONG_ANCHOR);
        }
      }
      return true;
    });
    return best;
  }

 private:
  struct Pending {
    std::string_view text;
    std::uint32_t position;
    std::uint32_t offset;
    Scope scope;
  };

  std::vector<Pending> pending_;  // while building
  KeyTable table_;
  // Bit g is set when some anchor of that size begins with the bytes g & 255,
  // g >> 8.
  std::array<std::uint64_t, 65536 / 64> long_grams_{}, short_grams_{};
  std::uint32_t lowest_long_ = NO_RULE;
  std::uint32_t lowest_short_ = NO_RULE;
};

// The rules of one target, by operator; their anchored "$" texts are handed
// to an AnchorIndex.
class TargetIndex {
 public:
  void add(const std::string& text, std::uint32_t position) {
    lowest_ = std::min(lowest_, position);
    if (text.empty() || (text[0] != '$' && text[0] != '<' && text[0] != '>')) {
      whole_.push_back({text, position});
      return;
    }
    std::string_view rest = std::string_view(text).substr(1);
    if (rest.empty()) {
      always_ = std::min(always_, position);
    } else if (text[0] == '$') {
      substrings_.push_back({rest, position});
    } else if (text[0] == '<') {
      prefixes_.push_back({rest, position});
    } else {
      suffixes_.push_back({rest, position});
    }
  }

  // Turns the collected texts into look-up structures and adds the anchored
  // ones to `anchors` under `scope`. The rule texts added need to stay alive
  // until `anchors` is finished.
  void finish(const RunSketch& run_counts, AnchorIndex& anchors, Scope scope) {
    sort_unique(whole_);
    sort_unique(prefixes_);
    sort_unique(suffixes_);
    sort_unique(substrings_);
    std::vector<Pattern> for_automaton;
    choose_anchors(run_counts, anchors, scope, &for_automaton);

    // Many longer texts share their first (or last) bytes, so the bitmap is
    // sized for the distinct keys only.
    std::vector<std::uint64_t> heads;
    for (const Pattern& p : prefixes_) {
      for (std::size_t length = FIRST_CHECKPOINT; length < p.text.size(); length *= 2) {
        heads.push_back(key_of(PREFIX_HEAD, length, hash_forwards(p.text.substr(0, length))));
      }
    }
    for (const Pattern& p : suffixes_) {
      for (std::size_t length = FIRST_CHECKPOINT; length < p.text.size(); length *= 2) {
        heads.push_back(
            key_of(SUFFIX_HEAD, length, hash_backwards(p.text.substr(p.text.size() - length))));
      }
    }
    std::sort(heads.begin(), heads.end());
    heads.erase(std::unique(heads.begin(), heads.end()), heads.end());
    std::size_t texts = prefixes_.size() + suffixes_.size();
    table_.reserve(texts, texts + heads.size());
    whole_table_.reserve(whole_.size(), whole_.size());

    for (const Pattern& p : whole_) {
      whole_table_.insert(key_of(WHOLE, p.text.size(), hash_forwards(p.text)), p.text, p.position,
                          WHOLE, 0);
      whole_lengths_.add(p.text.size());
      lowest_whole_ = std::min(lowest_whole_, p.position);
    }
    for (std::uint64_t key : heads) table_.mark(key);
    for (const Pattern& p : prefixes_) {
      table_.insert(key_of(PREFIX, p.text.size(), hash_forwards(p.text)), p.text, p.position,
                    PREFIX, 0);
      prefix_lengths_.add(p.text.size());
      lowest_prefix_ = std::min(lowest_prefix_, p.position);
    }
    for (const Pattern& p : suffixes_) {
      table_.insert(key_of(SUFFIX, p.text.size(), hash_backwards(p.text)), p.text, p.position,
                    SUFFIX, 0);
      suffix_lengths_.add(p.text.size());
      lowest_suffix_ = std::min(lowest_suffix_, p.position);
    }
    automaton_.build(for_automaton);

    std::vector<Pattern>().swap(whole_);
    std::vector<Pattern>().swap(prefixes_);
    std::vector<Pattern>().swap(suffixes_);
    std::vector<Pattern>().swap(substrings_);
  }

  // The smaller of `best` and the position of the first rule here that
  // holds for the target, anchored "$" texts left out (they are the
  // AnchorIndex's). Kinds of texts that hold only later rules than `best`
  // are not searched.
  std::uint32_t first_match(const SplitText& target, std::uint32_t best) const {
    if (lowest_ >= best) return best;
    best = std::min(best, always_);
    best = first_whole_or_prefix(target, best);
    if (lowest_suffix_ < best) best = first_suffix(target, best);
    if (automaton_.lowest() < best) best = automaton_.first_substring(target, best);
    return best;
  }

 private:
  using Slot = KeyTable::Slot;

  // Anchors each "$" text at its rarest run and hands it to `anchors`; the
  // rest go to `for_automaton`.
  void choose_anchors(const RunSketch& run_counts, AnchorIndex& anchors, Scope scope,
                      std::vector<Pattern>* for_automaton) {
    auto run_key = [](std::string_view text, std::size_t at, std::size_t size) {
      return key_of(ANCHOR, size, run_at(text, at, size));
    };
    std::vector<std::uint32_t> chosen(substrings_.size(), 0);
    KeyCounter sharing;
    for (std::size_t i = 0; i < substrings_.size(); ++i) {
      const Pattern& p = substrings_[i];
      std::size_t size = anchor_size_for(p.text.size());
      if (size == 0) continue;
      std::uint32_t rarest = NO_RULE;
      for (std::size_t at = 0; at + size <= p.text.size(); ++at) {
        std::uint32_t count = run_counts.estimate(run_key(p.text, at, size));
        if (count < rarest) {
          rarest = count;
          chosen[i] = static_cast<std::uint32_t>(at);
        }
      }
      sharing.add(run_key(p.text, chosen[i], size));
    }
    for (std::size_t i = 0; i < substrings_.size(); ++i) {
      const Pattern& p = substrings_[i];
      std::size_t size = anchor_size_for(p.text.size());
      if (size == 0 || sharing.count(run_key(p.text, chosen[i], size)) > CROWDED_ANCHOR) {
        for_automaton->push_back(p);
      } else {
        anchors.add(p.text, p.position, chosen[i], scope);
      }
    }
  }

  std::uint32_t first_whole_or_prefix(const SplitText& target, std::uint32_t best) const {
    std::size_t size = target.size();
    bool want_whole = lowest_whole_ < best && whole_lengths_.has(size);
    bool want_prefix = lowest_prefix_ < best;
    if (!want_whole && !want_prefix) return best;
    std::size_t end = want_prefix ? std::min(size, prefix_lengths_.longest()) : 0;
    std::uint64_t h = 0;
    std::size_t length = 0;
    auto step = [&](unsigned char c) INLINE_STEP {
      if (length == end) return false;
      h = h * HASH_BASE + c;
      ++length;
      if (prefix_lengths_.has(length)) {
        std::uint64_t key = key_of(PREFIX, length, h);
        if (table_.may_hold(key)) {
          table_.for_each_slot(key, [&](const Slot& slot) INLINE_STEP {
            if (slot.position < best && slot.tag() == PREFIX && slot.size == length &&
                split_starts_with(target, table_.text_of(slot), slot.size)) {
              best = slot.position;
            }
          });
        }
      }
      return !is_checkpoint(length) || table_.may_hold(key_of(PREFIX_HEAD, length, h));
    };
    if (want_prefix) for_each_byte(target, step);
    if (want_whole) {
      // The rest of the target, for the whole texts of its length.
      h = extend_hash(h, target, length);
      length = size;
    }
    if (want_whole && length == size && lowest_whole_ < best) {
      std::uint64_t key = key_of(WHOLE, size, h);
      if (whole_table_.may_hold(key)) {
        whole_table_.for_each_slot(key, [&](const Slot& slot) INLINE_STEP {
          if (slot.position < best && slot.tag() == WHOLE && slot.size == size &&
              split_equals(target, whole_table_.text_of(slot), slot.size)) {
            best = slot.position;
          }
        });
      }
    }
    return best;
  }

  std::uint32_t first_suffix(const SplitText& target, std::uint32_t best) const {
    std::size_t end = std::min(target.size(), suffix_lengths_.longest());
    std::uint64_t h = 0;
    std::size_t length = 0;
    for_each_byte_backwards(target, [&](unsigned char c) INLINE_STEP {
      if (length == end) return false;
      h = h * HASH_BASE + c;
      ++length;
      if (suffix_lengths_.has(length)) {
        std::uint64_t key = key_of(SUFFIX, length, h);
        if (table_.may_hold(key)) {
          table_.for_each_slot(key, [&](const Slot& slot) INLINE_STEP {
            if (slot.position < best && slot.tag() == SUFFIX && slot.size == length &&
                split_ends_with(target, table_.text_of(slot), slot.size)) {
              best = slot.position;
            }
          });
        }
      }
      return !is_checkpoint(length) || table_.may_hold(key_of(SUFFIX_HEAD, length, h));
    });
    return best;
  }

  std::vector<Pattern> whole_, prefixes_, suffixes_, substrings_;  // while building
  // Whole texts apart from the rest: a target is looked up among them once,
  // and among the others at many lengths, so the bitmap words of the others
  // are the ones worth keeping in the near caches.
  KeyTable whole_table_;
  KeyTable table_;
  LengthSet whole_lengths_, prefix_lengths_, suffix_lengths_;
  Automaton automaton_;
  std::uint32_t always_ = NO_RULE;
  std::uint32_t lowest_ = NO_RULE;
  std::uint32_t lowest_whole_ = NO_RULE;
  std::uint32_t lowest_prefix_ = NO_RULE;
  std::uint32_t lowest_suffix_ = NO_RULE;
};

}  // namespace

struct RuleIndex::Tables {
  TargetIndex host_rules;           // A
  TargetIndex path_rules;           // F
  TargetIndex address_rules;        // U and N
  AnchorIndex request_anchors;      // of the three above
  TargetIndex onunload_rules;       // L
  AnchorIndex onunload_anchors;     // of the one above
  TargetIndex window_open_rules;    // O
  AnchorIndex window_open_anchors;  // of the one above
  std::vector<bool> closes_window;  // by position
};
RuleIndex::RuleIndex(const std::vector<AdRule>& rules) : tables_(std::make_unique<Tables>()) {
  Tables& t = *tables_;
  t.closes_window.resize(rules.size());
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const AdRule& rule = rules[i];
    auto position = static_cast<std::uint32_t>(i);
    t.closes_window[i] = !rule.text.empty() && rule.text[0] == 'N';
    switch (rule.kind) {
      case 'A':
        t.host_rules.add(rule.text, position);
        break;
      case 'F':
        t.path_rules.add(rule.text, position);
        break;
      case 'U':
      case 'N':
        t.address_rules.add(rule.text, position);
        break;
      case 'L':
        t.onunload_rules.add(rule.text, position);
        break;
      case 'O':
        t.window_open_rules.add(rule.text, position);
        break;
      default:
        break;
    }
  }
  // Runs of both anchor sizes in every text, operators left out.
  std::size_t runs = 0;
  for (const AdRule& rule : rules) runs += rule.text.size();
  RunSketch run_counts(runs * 2);
  for (const AdRule& rule : rules) {
    std::string_view text = rule.text;
    if (!text.empty() && (text[0] == '$' || text[0] == '<' || text[0] == '>'))
      text.remove_prefix(1);
    for (std::size_t size : {LONG_ANCHOR, SHORT_ANCHOR}) {
      for (std::size_t at = 0; at + size <= text.size(); ++at) {
        run_counts.add(key_of(ANCHOR, size, run_at(text, at, size)));
      }
    }
  }
  t.host_rules.finish(run_counts, t.request_anchors, HOST);
  t.path_rules.finish(run_counts, t.request_anchors, PATH);
  t.address_rules.finish(run_counts, t.request_anchors, ADDRESS);
  t.request_anchors.finish();
  t.onunload_rules.finish(run_counts, t.onunload_anchors, HOST);
  t.onunload_anchors.finish();
  t.window_open_rules.finish(run_counts, t.window_open_anchors, HOST);
  t.window_open_anchors.finish();
}

RuleIndex::~RuleIndex() = default;

Verdict RuleIndex::match(const char* host, std::size_t host_size, const char* path,
                         std::size_t path_size) const {
  const Tables& t = *tables_;
  std::uint32_t best = NO_RULE;
  SplitText address{host, host_size, path, path_size};
  best = t.host_rules.first_match(whole_text(host, host_size), best);
  best = t.path_rules.first_match(whole_text(path, path_size), best);
  best = t.address_rules.first_match(address, best);
  best = t.request_anchors.first_match(address, host_size, best);
  if (best == NO_RULE) return VERDICT_PASS;
  return t.closes_window[best] ? VERDICT_CLOSE_WINDOW : VERDICT_BLOCK;
}

std::size_t RuleIndex::first_match_before(const char* host, std::size_t host_size, const char* path,
                                          std::size_t path_size, std::size_t limit) const {
  const Tables& t = *tables_;
  // Positions fit in 32 bits (build_rule_index); NO_RULE is above them all.
  auto best = static_cast<std::uint32_t>(std::min<std::size_t>(limit, NO_RULE));
  SplitText address{host, host_size, path, path_size};
  best = t.host_rules.first_match(whole_text(host, host_size), best);
  best = t.path_rules.first_match(whole_text(path, path_size), best);
  best = t.address_rules.first_match(address, best);
  best = t.request_anchors.first_match(address, host_size, best);
  return best != NO_RULE && best < limit ? best : limit;
}

unsigned RuleIndex::popup_kinds(const char* host, std::size_t host_size) const {
  const Tables& t = *tables_;
  SplitText target = whole_text(host, host_size);
  unsigned kinds = 0;
  auto holds = [&](const TargetIndex& rules, const AnchorIndex& anchors) {
    return rules.first_match(target, NO_RULE) != NO_RULE ||
           anchors.first_match(target, host_size, NO_RULE) != NO_RULE;
  };
  if (holds(t.onunload_rules, t.onunload_anchors)) kinds |= POPUP_ONUNLOAD;
  if (holds(t.window_open_rules, t.window_open_anchors)) kinds |= POPUP_WINDOW_OPEN;
  return kinds;
}

std::shared_ptr<const RuleIndex> build_rule_index(const std::vector<AdRule>& rules) {
  // Positions, text offsets and anchor offsets are kept in 32 and 28 bits; a
  // list beyond that is walked instead.
  std::size_t total = 0;
  for (const AdRule& rule : rules) total += rule.text.size();
  if (rules.size() >= NO_RULE || total >= (std::size_t{1} << 28)) return nullptr;
  return std::make_shared<const RuleIndex>(rules);
}
