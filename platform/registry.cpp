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
// must not open the database: the process keeps a few connections with their
// prepared statements, and each call borrows one for its duration (a
// transaction of begin_transaction() keeps it on its thread until it ends).
// However many threads come and go, no more than kMaxConnections are ever
// open, so descriptors and SQLite's caches stay bounded. A connection is
// dropped when the machine's folder changes or its file is no longer the one
// at the path (checked once a second), and abandoned, never used, in a child
// process after fork().
//
// The first connection of a process to a file reads its whole structure; a
// damaged file (cut short, overwritten) is moved aside under a name with the
// time, a new registry is started, and stderr and the damage listener are
// told, instead of every setting reading as missing without a word.
//
// Enumeration by index is an ordered walk: each connection remembers where
// the last few enumerations stood and steps on from there while the file is
// unchanged (SQLite's data version and the connection's own change count),
// so walking n entries costs n steps; any other index is counted from the
// start, which gives the same answer.
#include "platform/registry.h"

#include <fcntl.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/desktop_entries.h"
#include "platform/files.h"

namespace {

using platform::registry::kMaxConnections;
using platform::registry::kMaxKeyDepth;

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
// Files whose structure this process remembers having checked.
constexpr std::size_t kCheckedFilesRemembered = 16;
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
  kEnumKeyFrom,
  kEnumKeyAfter,
  kEnumValueFrom,
  kEnumValueAfter,
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
    "SELECT name FROM keys WHERE parent = ?1 AND name >= ?2 ORDER BY name LIMIT 1",
    "SELECT name FROM keys WHERE parent = ?1 AND name > ?2 ORDER BY name LIMIT 1",
    "SELECT name, type, data FROM key_values WHERE key_id = ?1 AND name >= ?2 ORDER BY name LIMIT "
    "1",
    "SELECT name, type, data FROM key_values WHERE key_id = ?1 AND name > ?2 ORDER BY name LIMIT 1",
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

// Where an enumeration by index last stood on a connection: entry `index` of
// key `key` was `name`, while the file was at data version `version` and the
// connection had made `changes` changes.
struct EnumCursor {
  bool valid = false;
  bool values = false;  // values, or sub-keys
  sqlite3_int64 key = 0;
  unsigned version = 0;
  sqlite3_int64 changes = 0;
  DWORD index = 0;
  std::string name;
};
// Enumerations a connection follows at once (a walk of sub-keys may enumerate
// each sub-key's values in between).
constexpr std::size_t kEnumCursors = 4;

struct Db {
  sqlite3* handle = nullptr;
  EnumCursor cursors[kEnumCursors];
  std::size_t next_cursor = 0;
  std::string path;
  unsigned generation = 0;
  dev_t device = 0;
  ino_t inode = 0;
  long long verified_at_ns = 0;
  std::uint64_t last_thread = 0;  // the thread it was last lent to
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

// The connections of this process. Their number is capped: SQLite cannot
// close a database file while another connection of the process holds a
// lock on it (closing would drop that lock), so every connection ever closed
// would keep its descriptors until the last one closes. A call that finds
// every connection lent out waits for one to come back; calls are short.
struct Pool {
  std::mutex mutex;
  std::condition_variable returned;
  std::vector<std::unique_ptr<Db>> idle;  // the most recently returned last
  std::size_t open = 0;                   // idle and lent out
  // Files this process has found sound (device, inode), checked once each.
  std::vector<std::pair<dev_t, ino_t>> checked;
};

Pool* pool_instance = nullptr;
std::once_flag pool_once;

Pool& pool() {
  // Never destroyed: threads that are never joined may still hand their
  // connections back while the process exits. A child after fork() starts
  // with a pool of its own and leaves the parent's connections untouched.
  std::call_once(pool_once, [] {
    pool_instance = new Pool;
    pthread_atfork([] { pool_instance->mutex.lock(); }, [] { pool_instance->mutex.unlock(); },
                   [] {
                     fork_generation.fetch_add(1);
                     pool_instance = new Pool;
                   });
  });
  return *pool_instance;
}

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

bool is_damage(int rc) {
  return (rc & 0xFF) == SQLITE_CORRUPT || (rc & 0xFF) == SQLITE_NOTADB;
}

// Runs `sql`, retrying while another process holds the lock it needs (the
// busy handler does not cover every step of setting a database up). Gives
// the SQLite result code.
int exec_retrying(sqlite3* handle, const char* sql) {
  for (int waited = 0;; waited += 10) {
    int rc = sqlite3_exec(handle, sql, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return rc;
    if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || waited >= kBusyTimeoutMs) return rc;
    sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_sleep(10);
  }
}

// What opening found wrong with the file, for the message when it is damaged.
struct OpenFailure {
  bool damaged = false;
  std::string reason;
};

// Whether this process has checked the file (device, inode) already.
bool already_checked(dev_t device, ino_t inode) {
  Pool& shared = pool();
  std::lock_guard<std::mutex> lock(shared.mutex);
  return std::find(shared.checked.begin(), shared.checked.end(), std::make_pair(device, inode)) !=
         shared.checked.end();
}

void mark_checked(dev_t device, ino_t inode) {
  Pool& shared = pool();
  std::lock_guard<std::mutex> lock(shared.mutex);
  if (shared.checked.size() >= kCheckedFilesRemembered)
    shared.checked.erase(shared.checked.begin());
  shared.checked.emplace_back(device, inode);
}

enum class Check { kSound, kDamaged, kUnknown };

// Reads the whole file's structure: a file cut short or overwritten is
// otherwise only noticed, or silently read as empty, when a call happens to
// touch the damaged pages. kUnknown when the check itself could not run.
Check check_structure(sqlite3* handle, OpenFailure* failure) {
  sqlite3_stmt* check = nullptr;
  int rc = sqlite3_prepare_v2(handle, "PRAGMA quick_check(1)", -1, &check, nullptr);
  std::string result;
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(check);
    if (rc == SQLITE_ROW) result = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
  }
  sqlite3_finalize(check);
  if (rc == SQLITE_ROW && result == "ok") return Check::kSound;
  if (rc != SQLITE_ROW && !is_damage(rc)) return Check::kUnknown;
  failure->damaged = true;
  failure->reason = rc == SQLITE_ROW ? result : sqlite3_errstr(rc);
  return Check::kDamaged;
}

std::unique_ptr<Db> open_db(const std::string& prefix, const std::string& path,
                            OpenFailure* failure) {
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
  auto failed = [&](int rc) {
    failure->damaged = is_damage(rc);
    failure->reason = sqlite3_errstr(rc);
    return nullptr;
  };
  if (int rc = exec_retrying(db->handle, "PRAGMA journal_mode=WAL"); rc != SQLITE_OK) {
    return failed(rc);
  }
  if (int rc = exec_retrying(db->handle, "PRAGMA synchronous=NORMAL"); rc != SQLITE_OK) {
    return failed(rc);
  }
  // Create the tables only when they are missing, so that opening does not
  // take the write lock every time.
  bool has_schema = false;
  sqlite3_stmt* check = nullptr;
  int rc = sqlite3_prepare_v2(
      db->handle, "SELECT count(*) FROM sqlite_master WHERE name IN ('keys', 'key_values')", -1,
      &check, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(check);
  if (rc == SQLITE_ROW) has_schema = sqlite3_column_int(check, 0) == 2;
  sqlite3_finalize(check);
  if (rc != SQLITE_ROW) return failed(rc);
  if (!has_schema) {
    std::string sql = std::string("BEGIN IMMEDIATE;") + kSchema + kStandardKeys + "COMMIT;";
    if (int created = exec_retrying(db->handle, sql.c_str()); created != SQLITE_OK) {
      return failed(created);
    }
  }
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return nullptr;
  db->device = status.st_dev;
  db->inode = status.st_ino;
  // Once per file and process: the check reads the whole file.
  if (!already_checked(status.st_dev, status.st_ino)) {
    Check checked = check_structure(db->handle, failure);
    if (checked == Check::kDamaged) return nullptr;
    if (checked == Check::kSound) mark_checked(status.st_dev, status.st_ino);
  }
  db->verified_at_ns = coarse_now_ns();
  return db;
}

std::atomic<void (*)(const std::string&)> damage_listener{nullptr};

// The file name a damaged registry is kept under: its own name, the time it
// was found damaged (UTC) and, if that is taken, a number.
bool move_aside(const std::string& path, std::string* aside) {
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  for (int attempt = 0; attempt < 100; ++attempt) {
    *aside = path + ".damaged-" + stamp + (attempt == 0 ? "" : "-" + std::to_string(attempt));
    // link() never replaces a file that is there already.
    if (link(path.c_str(), aside->c_str()) == 0) {
      if (unlink(path.c_str()) != 0) {
        unlink(aside->c_str());
        return false;
      }
      // The write-ahead log belongs to the damaged file; a new database must
      // not replay it. The shared-memory index is rebuilt from the log.
      rename((path + "-wal").c_str(), (*aside + "-wal").c_str());
      unlink((path + "-shm").c_str());
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// Moves a damaged registry file aside so that a new one can start, unless
// another thread or process has done so already. Only one at a time does
// it: each holds an exclusive flock() on the damaged file (SQLite's own
// locks are fcntl() locks, which flock() does not disturb).
void recover_damaged(const std::string& path, const std::string& reason) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::string aside;
  bool moved = false;
  if (flock(fd, LOCK_EX) == 0) {
    struct stat held {
    }, now{};
    // Still the file found damaged: nobody has moved it meanwhile.
    if (fstat(fd, &held) == 0 && stat(path.c_str(), &now) == 0 && held.st_dev == now.st_dev &&
        held.st_ino == now.st_ino) {
      // Another process may have found it damaged and replaced it between
      // our look and our lock: look again under the lock.
      sqlite3* again = nullptr;
      OpenFailure failure;
      bool damaged = true;
      if (sqlite3_open_v2(path.c_str(), &again, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(again, kBusyTimeoutMs);
        damaged = check_structure(again, &failure) == Check::kDamaged;
      }
      sqlite3_close_v2(again);
      if (damaged) moved = move_aside(path, &aside);
    }
    flock(fd, LOCK_UN);
  }
  close(fd);
  if (!moved) return;
  std::string message = "the registry " + path + " is damaged (" + reason + "); it was moved to " +
                        aside + " and a new, empty registry was started";
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.c_str());
  if (void (*listener)(const std::string&) = damage_listener.load()) listener(message);
}

// Opens a connection to the registry at `path`; a damaged file is moved
// aside and a new one started.
std::unique_ptr<Db> open_or_recover(const std::string& prefix, const std::string& path) {
  OpenFailure failure;
  std::unique_ptr<Db> db = open_db(prefix, path, &failure);
  if (db || !failure.damaged) return db;
  recover_damaged(path, failure.reason);
  failure = OpenFailure{};
  return open_db(prefix, path, &failure);
}

struct ThreadState;
void release(std::unique_ptr<Db> db);

// A transaction of begin_transaction() keeps its connection on its thread.
struct ThreadState {
  std::unique_ptr<Db> db;
  bool in_transaction = false;

  ~ThreadState() {
    if (!db || db->generation != fork_generation.load()) {
      discard(std::move(db));
      return;
    }
    if (in_transaction) sqlite3_exec(db->handle, "ROLLBACK", nullptr, nullptr, nullptr);
    release(std::move(db));
  }
};

thread_local ThreadState thread_state;

// A number for the calling thread, never given to another thread (addresses
// of thread_local values are: a new thread may reuse an ended one's memory).
std::uint64_t thread_serial() {
  static std::atomic<std::uint64_t> last{0};
  thread_local std::uint64_t serial = last.fetch_add(1) + 1;
  return serial;
}

// Lends a connection to the registry at `path`, waiting while all of them
// are lent out. Null when the database cannot be opened.
std::unique_ptr<Db> acquire(const std::string& prefix, const std::string& path) {
  Pool& shared = pool();
  std::vector<std::unique_ptr<Db>> stale;
  std::unique_ptr<Db> db;
  {
    std::unique_lock<std::mutex> lock(shared.mutex);
    while (true) {
      for (auto it = shared.idle.rbegin(); it != shared.idle.rend(); ++it) {
        if ((*it)->path == path) {
          db = std::move(*it);
          shared.idle.erase(std::next(it).base());
          break;
        }
      }
      if (db) break;
      // Connections to another machine's registry are of no more use.
      shared.open -= shared.idle.size();
      for (auto& other : shared.idle) stale.push_back(std::move(other));
      shared.idle.clear();
      if (shared.open < kMaxConnections) {
        ++shared.open;
        break;
      }
      shared.returned.wait(lock);
    }
  }
  stale.clear();
  // A thread that has not used this connection yet looks at the file at
  // once, as a thread with a connection of its own would; the thread that
  // used it last looks once a second.
  std::uint64_t self = thread_serial();
  if (db && db->last_thread != self) db->verified_at_ns = 0;
  if (db && !still_current(*db)) db.reset();
  if (!db) db = open_or_recover(prefix, path);
  if (db) db->last_thread = self;
  if (!db) {
    {
      std::lock_guard<std::mutex> lock(shared.mutex);
      --shared.open;
    }
    shared.returned.notify_one();
  }
  return db;
}

// Takes back a lent connection.
void release(std::unique_ptr<Db> db) {
  if (!db || db->generation != fork_generation.load()) {
    discard(std::move(db));
    return;
  }
  // Nothing may stay open on a connection another thread takes next.
  if (sqlite3_get_autocommit(db->handle) == 0) {
    sqlite3_exec(db->handle, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Pool& shared = pool();
  {
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.idle.push_back(std::move(db));
  }
  shared.returned.notify_one();
}

// The connection one registry call works on: the thread's own while it runs
// a transaction of begin_transaction(), otherwise one lent for the call.
class Lease {
 public:
  Lease() = default;
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  ~Lease() { release(std::move(owned_)); }

  // False when the database cannot be opened.
  bool take() {
    std::string prefix = platform::prefix_dir();
    std::string path = prefix + "/registry.db";
    ThreadState& state = thread_state;
    if (state.db && (state.db->generation != fork_generation.load() || state.db->path != path)) {
      // The machine's folder changed under an open transaction: it is lost.
      discard(std::move(state.db));
      state.db.reset();
      state.in_transaction = false;
    }
    if (state.db) {
      db_ = state.db.get();
      return true;
    }
    owned_ = acquire(prefix, path);
    db_ = owned_.get();
    return db_ != nullptr;
  }
  // Keeps the connection on this thread for a transaction.
  void keep_on_thread() { thread_state.db = std::move(owned_); }

  Db& operator*() const { return *db_; }
  Db* operator->() const { return db_; }

 private:
  std::unique_ptr<Db> owned_;
  Db* db_ = nullptr;
};

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
  std::size_t depth;  // names below the root
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
LONG prepare_call(HKEY key, REGSAM needed, sqlite3_int64* id, Lease* db, LONG open_failure) {
  REGSAM sam = 0;
  if (LONG rc = resolve(key, id, &sam); rc != ERROR_SUCCESS) return rc;
  if ((sam & needed) != needed) return ERROR_ACCESS_DENIED;
  return db->take() ? ERROR_SUCCESS : open_failure;
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

// The start-up key: its values stand for "start at log-in", which the
// desktop's autostart entries carry out.
bool is_run_key(Db& db, sqlite3_int64 id) {
  static const std::vector<std::string_view> kRunPath = {"Software", "Microsoft", "Windows",
                                                         "CurrentVersion", "Run"};
  static constexpr sqlite3_int64 kMachineRootId = 3;
  sqlite3_int64 run = 0;
  return walk(db, kMachineRootId, kRunPath, &run, nullptr) == ERROR_SUCCESS && run == id;
}

// Keeps the autostart entry of a start-up value in step with it. The value's
// change stands whether or not the entry could be written.
void follow_run_value(const char* name, const BYTE* data, DWORD type, DWORD size, bool set) {
  const std::string_view value_name = name != nullptr ? name : "";
  if (!set || (type != REG_SZ && type != REG_EXPAND_SZ)) {
    platform::remove_autostart_entry(value_name);
    return;
  }
  std::string command(reinterpret_cast<const char*>(data), size);
  command = command.c_str();  // up to the terminating zero
  platform::write_autostart_entry(value_name, command);
}

// How many names below its root a key (already resolved) lies.
std::size_t depth_of(HKEY key) {
  return find_root(key) != nullptr ? 0 : key->depth;
}

HKEY new_handle(sqlite3_int64 id, REGSAM sam, std::size_t depth) {
  return new (std::nothrow) RegistryKey{kHandleMagic, id, sam, depth};
}

LONG open_key(HKEY key, const char* sub_key, REGSAM sam, HKEY* result, std::string* stored_path) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  sqlite3_int64 start = 0;
  Lease db;
  if (LONG rc = prepare_call(key, 0, &start, &db, ERROR_CANTREAD); rc != ERROR_SUCCESS) return rc;
  std::vector<std::string_view> names;
  if (!split_path(sub_key, &names)) return ERROR_INVALID_PARAMETER;
  sqlite3_int64 id = 0;
  if (LONG rc = walk(*db, start, names, &id, stored_path); rc != ERROR_SUCCESS) return rc;
  *result = new_handle(id, sam, depth_of(key) + names.size());
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

// Finds entry `index` of an enumeration of `key` (its values, or its
// sub-keys) and hands its row to read(statement), whose result is returned;
// the row is valid only during that call. The row is found by stepping on
// from a cursor of the connection when one stands at `index` or just before
// it in an unchanged file, and by counting from the start otherwise.
template <class Read>
LONG read_enum_entry(HKEY key, bool values, DWORD index, Read&& read) {
  sqlite3_int64 id = 0;
  Lease db;
  if (LONG rc = prepare_call(key, values ? KEY_QUERY_VALUE : KEY_ENUMERATE_SUB_KEYS, &id, &db,
                             ERROR_CANTREAD);
      rc != ERROR_SUCCESS) {
    return rc;
  }
  // One read transaction: the data version read below must be the one of
  // the rows read.
  ReadSnapshot snapshot(*db);
  if (!key_exists(*db, id)) return ERROR_FILE_NOT_FOUND;
  unsigned version = 0;
  bool versioned =
      sqlite3_file_control(db->handle, "main", SQLITE_FCNTL_DATA_VERSION, &version) == SQLITE_OK;
  sqlite3_int64 changes = sqlite3_total_changes64(db->handle);
  EnumCursor* cursor = nullptr;
  for (EnumCursor& candidate : db->cursors) {
    if (versioned && candidate.valid && candidate.values == values && candidate.key == id &&
        candidate.version == version && candidate.changes == changes &&
        (index == candidate.index || index == candidate.index + 1)) {
      cursor = &candidate;
      break;
    }
  }
  Statement which;
  if (cursor != nullptr) {
    which = index == cursor->index ? (values ? kEnumValueFrom : kEnumKeyFrom)
                                   : (values ? kEnumValueAfter : kEnumKeyAfter);
  } else {
    which = values ? kEnumValue : kEnumKey;
  }
  Use statement(db->get(which));
  if (!statement) return ERROR_CANTREAD;
  sqlite3_bind_int64(*statement, 1, id);
  if (cursor != nullptr) {
    sqlite3_bind_text(*statement, 2, cursor->name.data(), static_cast<int>(cursor->name.size()),
                      SQLITE_STATIC);
  } else {
    sqlite3_bind_int64(*statement, 2, index);
  }
  int rc = sqlite3_step(*statement);
  if (rc == SQLITE_DONE) {
    // The walk is over; the name is not needed any more.
    if (cursor != nullptr) *cursor = EnumCursor{};
    return ERROR_NO_MORE_ITEMS;
  }
  if (rc != SQLITE_ROW) return ERROR_CANTREAD;
  if (versioned) {
    if (cursor == nullptr) {
      cursor = &db->cursors[db->next_cursor];
      db->next_cursor = (db->next_cursor + 1) % kEnumCursors;
    }
    std::string found(column_text(*statement, 0));
    *cursor = EnumCursor{true, values, id, version, changes, index, std::move(found)};
  }
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
  Lease db;
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
  std::size_t depth = depth_of(key) + names.size();
  // Keys deeper than the limit are never made; ones made before it existed
  // can still be opened, and deleted.
  if (rc == ERROR_FILE_NOT_FOUND && depth > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
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
  *result = new_handle(id, sam, depth);
  if (*result == nullptr) return ERROR_CANTWRITE;
  if (disposition != nullptr) *disposition = outcome;
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char* value_name, DWORD*, DWORD* type, BYTE* data,
                      DWORD* data_size) {
  if (data != nullptr && data_size == nullptr) return ERROR_INVALID_PARAMETER;
  sqlite3_int64 id = 0;
  Lease db;
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
  Lease db;
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
  const LONG result = transaction.commit();
  if (result == ERROR_SUCCESS && is_run_key(*db, id)) {
    follow_run_value(value_name, data, type, size, true);
  }
  return result;
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* name_size, DWORD*, char*, DWORD*,
                   void*) {
  if (name == nullptr || name_size == nullptr) return ERROR_INVALID_PARAMETER;
  return read_enum_entry(key, false, index, [&](sqlite3_stmt* row) {
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
  return read_enum_entry(key, true, index, [&](sqlite3_stmt* row) {
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
  Lease db;
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
    if (sqlite3_changes(db->handle) == 0) {
      // Already gone: an entry left behind goes all the same.
      if (is_run_key(*db, id)) follow_run_value(value_name, nullptr, REG_NONE, 0, false);
      return ERROR_FILE_NOT_FOUND;
    }
  }
  const LONG result = transaction.commit();
  if (result == ERROR_SUCCESS && is_run_key(*db, id)) {
    follow_run_value(value_name, nullptr, REG_NONE, 0, false);
  }
  return result;
}

LONG RegDeleteTreeA(HKEY key, const char* sub_key) {
  sqlite3_int64 start = 0;
  Lease db;
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

void set_damage_listener(void (*listener)(const std::string& message)) {
  damage_listener.store(listener);
}

LONG begin_transaction(bool write) {
  LONG failure = write ? ERROR_CANTWRITE : ERROR_CANTREAD;
  if (thread_state.in_transaction) return ERROR_INVALID_PARAMETER;
  Lease db;
  if (!db.take() || !run(*db, write ? kBeginWrite : kBeginRead)) return failure;
  db.keep_on_thread();
  thread_state.in_transaction = true;
  return ERROR_SUCCESS;
}

LONG end_transaction(bool commit) {
  ThreadState& state = thread_state;
  if (!state.in_transaction || !state.db) return ERROR_INVALID_PARAMETER;
  state.in_transaction = false;
  std::unique_ptr<Db> db = std::move(state.db);
  LONG result = ERROR_SUCCESS;
  if (!commit || !run(*db, kCommit)) {
    run(*db, kRollback);
    if (commit) result = ERROR_CANTWRITE;
  }
  release(std::move(db));
  return result;
}

LONG open_key_stored_case(HKEY key, const char* sub_key, REGSAM sam, HKEY* result,
                          std::string* stored_path) {
  if (stored_path == nullptr) return ERROR_INVALID_PARAMETER;
  stored_path->clear();
  return open_key(key, sub_key, sam, result, stored_path);
}

LONG enum_key_name(HKEY key, DWORD index, std::string* name) {
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  return read_enum_entry(key, false, index, [&](sqlite3_stmt* row) {
    name->assign(column_text(row, 0));
    return ERROR_SUCCESS;
  });
}

LONG enum_value(HKEY key, DWORD index, std::string* name, DWORD* type, std::vector<BYTE>* data) {
  if (name == nullptr || type == nullptr || data == nullptr) return ERROR_INVALID_PARAMETER;
  return read_enum_entry(key, true, index, [&](sqlite3_stmt* row) {
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
