// The registry over SQLite.
//
// One database file, registry.db in the machine's folder, holds every root.
// Each root is a row of `keys` with a fixed id and parent 0; every other key
// is a row naming its parent. Names are compared with SQLite's NOCASE
// collation (ASCII letters only) and stored as first written. Key ids are
// never reused (AUTOINCREMENT), so a handle to a deleted key can never reach
// a key created later in its place.
//
// Several processes and threads share the file: it runs in WAL mode (readers
// never wait for the writer), each write is one BEGIN IMMEDIATE transaction
// and a writer waits up to kBusyTimeoutMs for another. A crash mid-write
// leaves the last committed state.
//
// The activity log opens, queries and closes a key for every event, so a call
// must not open the database: each thread keeps one connection with its
// prepared statements. A thread that ends hands its connection to a small
// pool that the next new thread takes it from (connection threads come and
// go all the time). A connection is dropped when the machine's folder changes
// or its file is no longer the one at the path (checked once a second), and
// abandoned, never used, in a child process after fork().
#include "platform/registry.h"

#include <pthread.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/registry_internal.h"

namespace {

// How long a writer waits for another process's write to finish.
constexpr int kBusyTimeoutMs = 10000;
// Longest key name (one path component) and value name, as on the original.
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;
// Longest value data, far above anything the programs store.
constexpr DWORD kMaxValueSize = 64u << 20;
// How often a thread checks that its connection's file is still the file in
// the machine's folder (someone may have removed the folder and made it anew).
constexpr long kVerifyIntervalNs = 1000000000L;
// Connections kept for threads yet to come.
constexpr std::size_t kPoolSize = 32;
constexpr std::uint32_t kHandleMagic = 0x52654b79;  // "ReKy"

struct Root {
  std::uintptr_t handle;
  sqlite3_int64 id;
  const char* name;
  const char* short_name;
};

// The handle values of registry.h, written out so that the table is ready
// before any dynamic initialisation. Export order: the machine first.
constexpr sqlite3_int64 kRootIdLimit = 5;
const Root kRoots[] = {
    {0x80000002, 3, "HKEY_LOCAL_MACHINE", "HKLM"}, {0x80000001, 2, "HKEY_CURRENT_USER", "HKCU"},
    {0x80000003, 4, "HKEY_USERS", "HKU"},          {0x80000005, 5, "HKEY_CURRENT_CONFIG", "HKCC"},
    {0x80000000, 1, "HKEY_CLASSES_ROOT", "HKCR"},
};

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS key_values("
    " key_id INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY(key_id, name)) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO keys(id, parent, name) VALUES"
    " (1, 0, 'HKEY_CLASSES_ROOT'), (2, 0, 'HKEY_CURRENT_USER'),"
    " (3, 0, 'HKEY_LOCAL_MACHINE'), (4, 0, 'HKEY_USERS'), (5, 0, 'HKEY_CURRENT_CONFIG');";

// The keys every machine has from the start: programs rely on them being
// there to open (they are opened, never created, by the start-up entries).
const char* const kStandardKeys =
    "INSERT OR IGNORE INTO keys(parent, name) VALUES (3, 'SOFTWARE');"
    "INSERT OR IGNORE INTO keys(parent, name)"
    " SELECT id, 'Microsoft' FROM keys WHERE parent = 3 AND name = 'SOFTWARE';"
    "INSERT OR IGNORE INTO keys(parent, name)"
    " SELECT id, 'Windows' FROM keys WHERE name = 'Microsoft' AND parent ="
    " (SELECT id FROM keys WHERE parent = 3 AND name = 'SOFTWARE');"
    "INSERT OR IGNORE INTO keys(parent, name)"
    " SELECT id, 'CurrentVersion' FROM keys WHERE name = 'Windows' AND parent ="
    " (SELECT id FROM keys WHERE name = 'Microsoft' AND parent ="
    " (SELECT id FROM keys WHERE parent = 3 AND name = 'SOFTWARE'));"
    "INSERT OR IGNORE INTO keys(parent, name)"
    " SELECT id, 'Run' FROM keys WHERE name = 'CurrentVersion' AND parent ="
    " (SELECT id FROM keys WHERE name = 'Windows' AND parent ="
    " (SELECT id FROM keys WHERE name = 'Microsoft' AND parent ="
    " (SELECT id FROM keys WHERE parent = 3 AND name = 'SOFTWARE')));";

enum Statement {
  kBeginWrite,
  kBeginRead,
  kCommit,
  kRollback,
  kFindChild,
  kInsertKey,
  kKeyExists,
  kQueryValue,
  kUpsertValue,
  kDeleteValue,
  kEnumKey,
  kEnumValue,
  kDeleteTreeValues,
  kDeleteTreeKeys,
  kStatementCount
};

const char* const kStatementText[kStatementCount] = {
    "BEGIN IMMEDIATE",
    "BEGIN",
    "COMMIT",
    "ROLLBACK",
    "SELECT id, name FROM keys WHERE parent = ?1 AND name = ?2",
    "INSERT INTO keys(parent, name) VALUES (?1, ?2)",
    "SELECT 1 FROM keys WHERE id = ?1",
    "SELECT type, data FROM key_values WHERE key_id = ?1 AND name = ?2",
    "INSERT INTO key_values(key_id, name, type, data) VALUES (?1, ?2, ?3, ?4)"
    " ON CONFLICT(key_id, name) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM key_values WHERE key_id = ?1 AND name = ?2",
    "SELECT name FROM keys WHERE parent = ?1 ORDER BY name LIMIT 1 OFFSET ?2",
    "SELECT name, type, data FROM key_values WHERE key_id = ?1 ORDER BY name LIMIT 1 OFFSET ?2",
    "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL"
    " SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id)"
    " DELETE FROM key_values WHERE key_id IN tree",
    "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL"
    " SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id)"
    " DELETE FROM keys WHERE id IN tree AND id <> ?2",
};

// Bumped in a child after fork(): connections inherited from the parent must
// not be touched there.
std::atomic<unsigned> fork_generation{0};

struct Db {
  sqlite3* handle = nullptr;
  std::string path;
  unsigned generation = 0;
  dev_t device = 0;
  ino_t inode = 0;
  long long verified_at_ns = 0;
  sqlite3_stmt* statements[kStatementCount] = {};

  Db() = default;
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;
  ~Db() {
    for (sqlite3_stmt* statement : statements) sqlite3_finalize(statement);
    sqlite3_close_v2(handle);
  }

  // A prepared statement, reset and ready for binding; null on failure.
  sqlite3_stmt* get(Statement which) {
    sqlite3_stmt*& statement = statements[which];
    if (statement == nullptr) {
      if (sqlite3_prepare_v3(handle, kStatementText[which], -1, SQLITE_PREPARE_PERSISTENT,
                             &statement, nullptr) != SQLITE_OK) {
        statement = nullptr;
      }
    }
    return statement;
  }
};

// Drops a connection that belongs to this process; one inherited over fork()
// is leaked on purpose, since closing it would touch the parent's locks.
void discard(std::unique_ptr<Db> db) {
  if (db && db->generation != fork_generation.load()) {
    (void)db.release();
  }
}

struct Pool {
  std::mutex mutex;
  std::vector<std::unique_ptr<Db>> idle;
};

Pool& pool() {
  // Never destroyed: threads that are never joined may still hand their
  // connections back while the process exits.
  static Pool* const instance = [] {
    auto* created = new Pool;
    pthread_atfork([] { pool().mutex.lock(); }, [] { pool().mutex.unlock(); },
                   [] {
                     fork_generation.fetch_add(1);
                     Pool& inherited = pool();
                     for (auto& db : inherited.idle) (void)db.release();
                     inherited.idle.clear();
                     inherited.mutex.unlock();
                   });
    return created;
  }();
  return *instance;
}

struct ThreadState {
  std::unique_ptr<Db> db;
  bool in_transaction = false;

  ~ThreadState() {
    if (!db || db->generation != fork_generation.load()) {
      discard(std::move(db));
      return;
    }
    if (in_transaction) sqlite3_exec(db->handle, "ROLLBACK", nullptr, nullptr, nullptr);
    Pool& shared = pool();
    std::lock_guard<std::mutex> lock(shared.mutex);
    if (shared.idle.size() < kPoolSize) shared.idle.push_back(std::move(db));
  }
};

thread_local ThreadState thread_state;

long long coarse_now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// Whether the connection still reaches the file now at its path. Checked at
// most every kVerifyIntervalNs, or at once when verified_at_ns is 0.
bool still_current(Db& db) {
  long long now = coarse_now_ns();
  if (db.verified_at_ns != 0 && now - db.verified_at_ns < kVerifyIntervalNs) return true;
  struct stat status {};
  if (stat(db.path.c_str(), &status) != 0 || status.st_dev != db.device ||
      status.st_ino != db.inode) {
    return false;
  }
  db.verified_at_ns = now;
  return true;
}

bool make_folders(const std::string& dir) {
  std::string partial;
  std::size_t start = 0;
  while (start <= dir.size()) {
    std::size_t slash = dir.find('/', start);
    if (slash == std::string::npos) slash = dir.size();
    partial = dir.substr(0, slash);
    if (!partial.empty() && mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    start = slash + 1;
  }
  return true;
}

// Runs `sql`, retrying while another process holds the lock it needs (the
// busy handler does not cover every step of setting a database up).
bool exec_retrying(sqlite3* handle, const char* sql) {
  for (int waited = 0;; waited += 10) {
    int rc = sqlite3_exec(handle, sql, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return true;
    if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || waited >= kBusyTimeoutMs) return false;
    sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_sleep(10);
  }
}

std::unique_ptr<Db> open_db(const std::string& prefix, const std::string& path) {
  // A new machine comes with its C: drive.
  if (!make_folders(prefix + "/drive_c")) return nullptr;
  auto db = std::make_unique<Db>();
  db->path = path;
  db->generation = fork_generation.load();
  if (sqlite3_open_v2(path.c_str(), &db->handle,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    return nullptr;
  }
  sqlite3_busy_timeout(db->handle, kBusyTimeoutMs);
  if (!exec_retrying(db->handle, "PRAGMA journal_mode=WAL") ||
      !exec_retrying(db->handle, "PRAGMA synchronous=NORMAL")) {
    return nullptr;
  }
  // Create the tables only when they are missing, so that opening does not
  // take the write lock every time.
  bool has_schema = false;
  sqlite3_stmt* check = nullptr;
  if (sqlite3_prepare_v2(db->handle,
                         "SELECT count(*) FROM sqlite_master WHERE name IN ('keys', 'key_values')",
                         -1, &check, nullptr) == SQLITE_OK &&
      sqlite3_step(check) == SQLITE_ROW) {
    has_schema = sqlite3_column_int(check, 0) == 2;
  }
  sqlite3_finalize(check);
  if (!has_schema) {
    std::string sql = std::string("BEGIN IMMEDIATE;") + kSchema + kStandardKeys + "COMMIT;";
    if (!exec_retrying(db->handle, sql.c_str())) return nullptr;
  }
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return nullptr;
  db->device = status.st_dev;
  db->inode = status.st_ino;
  db->verified_at_ns = coarse_now_ns();
  return db;
}

// This thread's connection to the current machine's registry, or null when
// the database cannot be opened.
Db* connection() {
  std::string prefix = platform::prefix_dir();
  std::string path = prefix + "/registry.db";
  ThreadState& state = thread_state;
  unsigned generation = fork_generation.load();
  if (state.db && (state.db->generation != generation || state.db->path != path ||
                   (!state.in_transaction && !still_current(*state.db)))) {
    discard(std::move(state.db));
    state.db.reset();
    state.in_transaction = false;
  }
  if (state.db) return state.db.get();
  {
    Pool& shared = pool();
    std::lock_guard<std::mutex> lock(shared.mutex);
    for (auto it = shared.idle.begin(); it != shared.idle.end(); ++it) {
      if ((*it)->path == path) {
        state.db = std::move(*it);
        shared.idle.erase(it);
        break;
      }
    }
  }
  if (state.db) {
    state.db->verified_at_ns = 0;
    if (!still_current(*state.db)) state.db.reset();
  }
  if (!state.db) state.db = open_db(prefix, path);
  return state.db.get();
}

// Resets a statement when it goes out of scope, so it holds no read lock.
class Use {
 public:
  explicit Use(sqlite3_stmt* statement) : statement_(statement) {}
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  ~Use() {
    if (statement_ != nullptr) sqlite3_reset(statement_);
  }
  explicit operator bool() const { return statement_ != nullptr; }
  sqlite3_stmt* operator*() const { return statement_; }

 private:
  sqlite3_stmt* statement_;
};

bool run(Db& db, Statement which) {
  Use statement(db.get(which));
  return statement && sqlite3_step(*statement) == SQLITE_DONE;
}

// One write: BEGIN IMMEDIATE now, COMMIT on commit(), ROLLBACK otherwise.
// Inside a transaction of begin_transaction() it does nothing.
class WriteTransaction {
 public:
  explicit WriteTransaction(Db& db) : db_(db), own_(!thread_state.in_transaction) {}
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;
  ~WriteTransaction() {
    if (own_ && open_) run(db_, kRollback);
  }
  bool begin() {
    if (!own_) return true;
    open_ = run(db_, kBeginWrite);
    return open_;
  }
  LONG commit() {
    if (!own_) return ERROR_SUCCESS;
    if (!run(db_, kCommit)) return ERROR_CANTWRITE;
    open_ = false;
    return ERROR_SUCCESS;
  }

 private:
  Db& db_;
  bool own_;
  bool open_ = false;
};

const Root* find_root(HKEY key) {
  for (const Root& root : kRoots) {
    if (root.handle == reinterpret_cast<std::uintptr_t>(key)) return &root;
  }
  return nullptr;
}

bool is_predefined_range(HKEY key) {
  auto value = reinterpret_cast<std::uintptr_t>(key);
  return value >= 0x80000000u && value <= 0x800000FFu;
}

}  // namespace

struct RegistryKey {
  std::uint32_t magic;
  sqlite3_int64 id;
  REGSAM sam;
};

namespace {

// The key id and the rights of a handle. Predefined roots allow everything.
LONG resolve(HKEY key, sqlite3_int64* id, REGSAM* sam) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (const Root* root = find_root(key)) {
    *id = root->id;
    *sam = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  if (is_predefined_range(key) || key->magic != kHandleMagic) return ERROR_INVALID_HANDLE;
  *id = key->id;
  *sam = key->sam;
  return ERROR_SUCCESS;
}

// A handle with `needed` rights, and this thread's connection.
LONG prepare_call(HKEY key, REGSAM needed, sqlite3_int64* id, Db** db, LONG open_failure) {
  REGSAM sam = 0;
  if (LONG rc = resolve(key, id, &sam); rc != ERROR_SUCCESS) return rc;
  if ((sam & needed) != needed) return ERROR_ACCESS_DENIED;
  *db = connection();
  return *db != nullptr ? ERROR_SUCCESS : open_failure;
}

bool key_exists(Db& db, sqlite3_int64 id) {
  Use statement(db.get(kKeyExists));
  if (!statement) return false;
  sqlite3_bind_int64(*statement, 1, id);
  return sqlite3_step(*statement) == SQLITE_ROW;
}

// The names of a sub-key path. A trailing "\" is allowed; empty names and
// over-long ones are not.
bool split_path(const char* sub_key, std::vector<std::string_view>* names) {
  names->clear();
  if (sub_key == nullptr || sub_key[0] == '\0') return true;
  std::string_view path(sub_key);
  if (path.back() == '\\') path.remove_suffix(1);
  std::size_t start = 0;
  while (true) {
    std::size_t end = path.find('\\', start);
    std::string_view name = path.substr(start, end == std::string_view::npos ? end : end - start);
    if (name.empty() || name.size() > kMaxKeyNameLength) return false;
    names->push_back(name);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

// A name that registry text could not write back out. New keys and values
// may not have one; existing ones stay reachable, so they can be removed.
bool has_line_break(std::string_view name) {
  return name.find_first_of("\r\n") != std::string_view::npos;
}

enum class Find { kFound, kMissing, kFailed };

Find find_child(Db& db, sqlite3_int64 parent, std::string_view name, sqlite3_int64* child,
                std::string* stored_name) {
  Use statement(db.get(kFindChild));
  if (!statement) return Find::kFailed;
  sqlite3_bind_int64(*statement, 1, parent);
  sqlite3_bind_text(*statement, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  int rc = sqlite3_step(*statement);
  if (rc == SQLITE_ROW) {
    *child = sqlite3_column_int64(*statement, 0);
    if (stored_name != nullptr) {
      stored_name->assign(reinterpret_cast<const char*>(sqlite3_column_text(*statement, 1)),
                          static_cast<std::size_t>(sqlite3_column_bytes(*statement, 1)));
    }
    return Find::kFound;
  }
  return rc == SQLITE_DONE ? Find::kMissing : Find::kFailed;
}

// Follows `names` down from `start`. With `stored_path`, collects the names
// as stored, joined by "\".
// Holds one read transaction over several statements: each statement on its
// own would take and release the shared-memory read lock again.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(Db& db) : db_(db), own_(sqlite3_get_autocommit(db.handle) != 0) {
    if (own_) own_ = run(db_, kBeginRead);
  }
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;
  ~ReadSnapshot() {
    if (own_ && !run(db_, kCommit)) run(db_, kRollback);
  }

 private:
  Db& db_;
  bool own_;
};

LONG walk(Db& db, sqlite3_int64 start, const std::vector<std::string_view>& names,
          sqlite3_int64* found, std::string* stored_path) {
  std::optional<ReadSnapshot> snapshot;
  if (names.size() > 1) snapshot.emplace(db);
  sqlite3_int64 id = start;
  if (names.empty() && !key_exists(db, id)) return ERROR_FILE_NOT_FOUND;
  std::string stored;
  for (std::string_view name : names) {
    switch (find_child(db, id, name, &id, stored_path != nullptr ? &stored : nullptr)) {
      case Find::kFound:
        break;
      case Find::kMissing:
        return ERROR_FILE_NOT_FOUND;
      case Find::kFailed:
        return ERROR_CANTREAD;
    }
    if (stored_path != nullptr) {
      if (!stored_path->empty()) stored_path->push_back('\\');
      stored_path->append(stored);
    }
  }
  *found = id;
  return ERROR_SUCCESS;
}

HKEY new_handle(sqlite3_int64 id, REGSAM sam) {
  return new (std::nothrow) RegistryKey{kHandleMagic, id, sam};
}

LONG open_key(HKEY key, const char* sub_key, REGSAM sam, HKEY* result, std::string* stored_path) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  sqlite3_int64 start = 0;
  Db* db = nullptr;
  if (LONG rc = prepare_call(key, 0, &start, &db, ERROR_CANTREAD); rc != ERROR_SUCCESS) return rc;
  std::vector<std::string_view> names;
  if (!split_path(sub_key, &names)) return ERROR_INVALID_PARAMETER;
  sqlite3_int64 id = 0;
  if (LONG rc = walk(*db, start, names, &id, stored_path); rc != ERROR_SUCCESS) return rc;
  *result = new_handle(id, sam);
  return *result != nullptr ? ERROR_SUCCESS : ERROR_CANTREAD;
}

void bind_name(sqlite3_stmt* statement, int index, const char* name) {
  if (name == nullptr) name = "";
  sqlite3_bind_text(statement, index, name, -1, SQLITE_STATIC);
}

std::string_view column_text(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return text != nullptr ? std::string_view(text, sqlite3_column_bytes(statement, column))
                         : std::string_view();
}

// Steps `statement` (an enumeration bound to key id and index): SQLITE_ROW,
// or the error to report when there is no row.
LONG enum_step(Db& db, sqlite3_stmt* statement, sqlite3_int64 id, DWORD index) {
  sqlite3_bind_int64(statement, 1, id);
  sqlite3_bind_int64(statement, 2, index);
  int rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  if (rc != SQLITE_DONE) return ERROR_CANTREAD;
  return key_exists(db, id) ? ERROR_NO_MORE_ITEMS : ERROR_FILE_NOT_FOUND;
}

// Finds entry `index` of an enumeration of `key` (sub-keys or values, as
// `which` says) and hands its row to read(statement), whose result is
// returned; the row is valid only during that call.
template <class Read>
LONG read_enum_entry(HKEY key, REGSAM needed, Statement which, DWORD index, Read&& read) {
  sqlite3_int64 id = 0;
  Db* db = nullptr;
  if (LONG rc = prepare_call(key, needed, &id, &db, ERROR_CANTREAD); rc != ERROR_SUCCESS) {
    return rc;
  }
  Use statement(db->get(which));
  if (!statement) return ERROR_CANTREAD;
  if (LONG rc = enum_step(*db, *statement, id, index); rc != ERROR_SUCCESS) return rc;
  return read(*statement);
}

}  // namespace

LONG RegOpenKeyExA(HKEY key, const char* sub_key, DWORD, REGSAM sam, HKEY* result) {
  return open_key(key, sub_key, sam, result, nullptr);
}

LONG RegCreateKeyExA(HKEY key, const char* sub_key, DWORD, char*, DWORD, REGSAM sam, void*,
                     HKEY* result, DWORD* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  sqlite3_int64 start = 0;
  Db* db = nullptr;
  if (LONG rc = prepare_call(key, KEY_CREATE_SUB_KEY, &start, &db, ERROR_CANTWRITE);
      rc != ERROR_SUCCESS) {
    return rc;
  }
  std::vector<std::string_view> names;
  if (!split_path(sub_key, &names)) return ERROR_INVALID_PARAMETER;
  if (sub_key != nullptr && has_line_break(sub_key)) return ERROR_INVALID_PARAMETER;
  sqlite3_int64 id = 0;
  // Most calls find the key already there; only a missing one needs the lock.
  LONG rc = walk(*db, start, names, &id, nullptr);
  DWORD outcome = REG_OPENED_EXISTING_KEY;
  if (rc == ERROR_FILE_NOT_FOUND && !names.empty()) {
    WriteTransaction transaction(*db);
    if (!transaction.begin()) return ERROR_CANTWRITE;
    if (!key_exists(*db, start)) return ERROR_FILE_NOT_FOUND;
    id = start;
    for (std::string_view name : names) {
      switch (find_child(*db, id, name, &id, nullptr)) {
        case Find::kFound:
          continue;
        case Find::kFailed:
          return ERROR_CANTWRITE;
        case Find::kMissing:
          break;
      }
      Use insert(db->get(kInsertKey));
      if (!insert) return ERROR_CANTWRITE;
      sqlite3_bind_int64(*insert, 1, id);
      sqlite3_bind_text(*insert, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
      if (sqlite3_step(*insert) != SQLITE_DONE) return ERROR_CANTWRITE;
      id = sqlite3_last_insert_rowid(db->handle);
      outcome = REG_CREATED_NEW_KEY;
    }
    rc = transaction.commit();
  }
  if (rc != ERROR_SUCCESS) return rc;
  *result = new_handle(id, sam);
  if (*result == nullptr) return ERROR_CANTWRITE;
  if (disposition != nullptr) *disposition = outcome;
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char* value_name, DWORD*, DWORD* type, BYTE* data,
                      DWORD* data_size) {
  if (data != nullptr && data_size == nullptr) return ERROR_INVALID_PARAMETER;
  sqlite3_int64 id = 0;
  Db* db = nullptr;
  if (LONG rc = prepare_call(key, KEY_QUERY_VALUE, &id, &db, ERROR_CANTREAD); rc != ERROR_SUCCESS) {
    return rc;
  }
  Use statement(db->get(kQueryValue));
  if (!statement) return ERROR_CANTREAD;
  sqlite3_bind_int64(*statement, 1, id);
  bind_name(*statement, 2, value_name);
  int rc = sqlite3_step(*statement);
  if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (rc != SQLITE_ROW) return ERROR_CANTREAD;
  const void* bytes = sqlite3_column_blob(*statement, 1);
  auto size = static_cast<DWORD>(sqlite3_column_bytes(*statement, 1));
  if (type != nullptr) *type = static_cast<DWORD>(sqlite3_column_int64(*statement, 0));
  LONG result = ERROR_SUCCESS;
  if (data != nullptr) {
    if (size > *data_size) {
      result = ERROR_MORE_DATA;
    } else if (size > 0) {
      std::memcpy(data, bytes, size);
    }
  }
  if (data_size != nullptr) *data_size = size;
  return result;
}

LONG RegSetValueExA(HKEY key, const char* value_name, DWORD, DWORD type, const BYTE* data,
                    DWORD size) {
  if ((data == nullptr && size != 0) || size > kMaxValueSize) return ERROR_INVALID_PARAMETER;
  if (value_name != nullptr &&
      (std::strlen(value_name) > kMaxValueNameLength || has_line_break(value_name))) {
    return ERROR_INVALID_PARAMETER;
  }
  sqlite3_int64 id = 0;
  Db* db = nullptr;
  if (LONG rc = prepare_call(key, KEY_SET_VALUE, &id, &db, ERROR_CANTWRITE); rc != ERROR_SUCCESS) {
    return rc;
  }
  WriteTransaction transaction(*db);
  if (!transaction.begin()) return ERROR_CANTWRITE;
  if (!key_exists(*db, id)) return ERROR_FILE_NOT_FOUND;
  {
    Use statement(db->get(kUpsertValue));
    if (!statement) return ERROR_CANTWRITE;
    sqlite3_bind_int64(*statement, 1, id);
    bind_name(*statement, 2, value_name);
    sqlite3_bind_int64(*statement, 3, type);
    // A null pointer would bind NULL; an empty value is a zero-length blob.
    static const BYTE kEmpty = 0;
    sqlite3_bind_blob(*statement, 4, size != 0 ? data : &kEmpty, static_cast<int>(size),
                      SQLITE_STATIC);
    if (sqlite3_step(*statement) != SQLITE_DONE) return ERROR_CANTWRITE;
  }
  return transaction.commit();
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* name_size, DWORD*, char*, DWORD*,
                   void*) {
  if (name == nullptr || name_size == nullptr) return ERROR_INVALID_PARAMETER;
  return read_enum_entry(key, KEY_ENUMERATE_SUB_KEYS, kEnumKey, index, [&](sqlite3_stmt* row) {
    std::string_view found = column_text(row, 0);
    if (found.size() >= *name_size) return ERROR_MORE_DATA;
    std::memcpy(name, found.data(), found.size());
    name[found.size()] = '\0';
    *name_size = static_cast<DWORD>(found.size());
    return ERROR_SUCCESS;
  });
}

LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* name_size, DWORD*, DWORD* type,
                   BYTE* data, DWORD* data_size) {
  if (name == nullptr || name_size == nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && data_size == nullptr) return ERROR_INVALID_PARAMETER;
  return read_enum_entry(key, KEY_QUERY_VALUE, kEnumValue, index, [&](sqlite3_stmt* row) {
    std::string_view found = column_text(row, 0);
    if (found.size() >= *name_size) return ERROR_MORE_DATA;
    const void* bytes = sqlite3_column_blob(row, 2);
    auto size = static_cast<DWORD>(sqlite3_column_bytes(row, 2));
    if (data != nullptr && size > *data_size) {
      *data_size = size;
      return ERROR_MORE_DATA;
    }
    std::memcpy(name, found.data(), found.size());
    name[found.size()] = '\0';
    *name_size = static_cast<DWORD>(found.size());
    if (type != nullptr) *type = static_cast<DWORD>(sqlite3_column_int64(row, 1));
    if (data != nullptr && size > 0) std::memcpy(data, bytes, size);
    if (data_size != nullptr) *data_size = size;
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteValueA(HKEY key, const char* value_name) {
  sqlite3_int64 id = 0;
  Db* db = nullptr;
  if (LONG rc = prepare_call(key, KEY_SET_VALUE, &id, &db, ERROR_CANTWRITE); rc != ERROR_SUCCESS) {
    return rc;
  }
  WriteTransaction transaction(*db);
  if (!transaction.begin()) return ERROR_CANTWRITE;
  {
    Use statement(db->get(kDeleteValue));
    if (!statement) return ERROR_CANTWRITE;
    sqlite3_bind_int64(*statement, 1, id);
    bind_name(*statement, 2, value_name);
    if (sqlite3_step(*statement) != SQLITE_DONE) return ERROR_CANTWRITE;
    if (sqlite3_changes(db->handle) == 0) return ERROR_FILE_NOT_FOUND;
  }
  return transaction.commit();
}

LONG RegDeleteTreeA(HKEY key, const char* sub_key) {
  sqlite3_int64 start = 0;
  Db* db = nullptr;
  if (LONG rc = prepare_call(key, KEY_SET_VALUE, &start, &db, ERROR_CANTWRITE);
      rc != ERROR_SUCCESS) {
    return rc;
  }
  std::vector<std::string_view> names;
  if (!split_path(sub_key, &names)) return ERROR_INVALID_PARAMETER;
  WriteTransaction transaction(*db);
  if (!transaction.begin()) return ERROR_CANTWRITE;
  sqlite3_int64 id = 0;
  if (LONG rc = walk(*db, start, names, &id, nullptr); rc != ERROR_SUCCESS) return rc;
  // Without a sub-key the key itself stays and only loses its contents; a
  // root always stays.
  sqlite3_int64 keep = (names.empty() || id <= kRootIdLimit) ? id : 0;
  {
    Use values(db->get(kDeleteTreeValues));
    if (!values) return ERROR_CANTWRITE;
    sqlite3_bind_int64(*values, 1, id);
    if (sqlite3_step(*values) != SQLITE_DONE) return ERROR_CANTWRITE;
  }
  {
    Use keys(db->get(kDeleteTreeKeys));
    if (!keys) return ERROR_CANTWRITE;
    sqlite3_bind_int64(*keys, 1, id);
    sqlite3_bind_int64(*keys, 2, keep);
    if (sqlite3_step(*keys) != SQLITE_DONE) return ERROR_CANTWRITE;
  }
  return transaction.commit();
}

LONG RegCloseKey(HKEY key) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (find_root(key) != nullptr) return ERROR_SUCCESS;
  if (is_predefined_range(key) || key->magic != kHandleMagic) return ERROR_INVALID_HANDLE;
  key->magic = 0;
  delete key;
  return ERROR_SUCCESS;
}

namespace platform::registry {

LONG begin_transaction(bool write) {
  Db* db = connection();
  if (db == nullptr) return write ? ERROR_CANTWRITE : ERROR_CANTREAD;
  if (thread_state.in_transaction) return ERROR_INVALID_PARAMETER;
  if (!run(*db, write ? kBeginWrite : kBeginRead)) return write ? ERROR_CANTWRITE : ERROR_CANTREAD;
  thread_state.in_transaction = true;
  return ERROR_SUCCESS;
}

LONG end_transaction(bool commit) {
  Db* db = connection();
  if (db == nullptr || !thread_state.in_transaction) return ERROR_INVALID_PARAMETER;
  thread_state.in_transaction = false;
  if (commit && run(*db, kCommit)) return ERROR_SUCCESS;
  run(*db, kRollback);
  return commit ? ERROR_CANTWRITE : ERROR_SUCCESS;
}

LONG open_key_stored_case(HKEY key, const char* sub_key, REGSAM sam, HKEY* result,
                          std::string* stored_path) {
  if (stored_path == nullptr) return ERROR_INVALID_PARAMETER;
  stored_path->clear();
  return open_key(key, sub_key, sam, result, stored_path);
}

LONG enum_key_name(HKEY key, DWORD index, std::string* name) {
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  return read_enum_entry(key, KEY_ENUMERATE_SUB_KEYS, kEnumKey, index, [&](sqlite3_stmt* row) {
    name->assign(column_text(row, 0));
    return ERROR_SUCCESS;
  });
}

LONG enum_value(HKEY key, DWORD index, std::string* name, DWORD* type, std::vector<BYTE>* data) {
  if (name == nullptr || type == nullptr || data == nullptr) return ERROR_INVALID_PARAMETER;
  return read_enum_entry(key, KEY_QUERY_VALUE, kEnumValue, index, [&](sqlite3_stmt* row) {
    name->assign(column_text(row, 0));
    *type = static_cast<DWORD>(sqlite3_column_int64(row, 1));
    const auto* bytes = static_cast<const BYTE*>(sqlite3_column_blob(row, 2));
    data->assign(bytes, bytes + sqlite3_column_bytes(row, 2));
    return ERROR_SUCCESS;
  });
}

HKEY root_by_name(std::string_view name) {
  auto same = [](std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
      if (x != b[i]) return false;
    }
    return true;
  };
  for (const Root& root : kRoots) {
    if (same(name, root.name) || same(name, root.short_name)) {
      return reinterpret_cast<HKEY>(root.handle);
    }
  }
  return nullptr;
}

std::string_view root_name(HKEY root) {
  const Root* found = find_root(root);
  return found != nullptr ? found->name : std::string_view();
}

}  // namespace platform::registry
