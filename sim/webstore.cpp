#include "sim/webstore.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <sqlite3.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace sim {

namespace {

constexpr const char *kSchemaVersion = "1";

// One prepared statement, finalised with its scope.
class Statement
{
public:
    Statement(sqlite3 *db, const char *sql)
    {
        if (db && sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) {
            sqlite3_finalize(m_stmt);
            m_stmt = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool ok() const { return m_stmt != nullptr; }

    Statement &bind(int index, const std::string &text)
    {
        if (m_stmt && text.size() <= static_cast<size_t>(INT_MAX)) {
            sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        }
        return *this;
    }
    Statement &bind(int index, std::int64_t value)
    {
        if (m_stmt) {
            sqlite3_bind_int64(m_stmt, index, value);
        }
        return *this;
    }
    Statement &bind(int index, double value)
    {
        if (m_stmt) {
            sqlite3_bind_double(m_stmt, index, value);
        }
        return *this;
    }

    bool next() { return m_stmt && sqlite3_step(m_stmt) == SQLITE_ROW; }
    bool run() { return m_stmt && sqlite3_step(m_stmt) == SQLITE_DONE; }

    std::string text(int column) const
    {
        const unsigned char *value = sqlite3_column_text(m_stmt, column);
        const int size = sqlite3_column_bytes(m_stmt, column);
        return value ? std::string(reinterpret_cast<const char *>(value), static_cast<size_t>(size)) : std::string();
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(m_stmt, column); }
    double real(int column) const { return sqlite3_column_double(m_stmt, column); }

private:
    sqlite3_stmt *m_stmt = nullptr;
};

// Rolls back unless committed, so that every early return leaves the file unchanged.
class Transaction
{
public:
    explicit Transaction(sqlite3 *db) : m_db(db)
    {
        m_open = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Transaction()
    {
        if (m_open) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    bool ok() const { return m_open; }
    bool commit()
    {
        if (!m_open || sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            return false;
        }
        m_open = false;
        return true;
    }

private:
    sqlite3 *m_db;
    bool m_open = false;
};

const char *const kSchema = R"SQL(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE users(user_id TEXT PRIMARY KEY, user_name TEXT NOT NULL UNIQUE, full_name TEXT NOT NULL,
                   password_md5 TEXT NOT NULL);
CREATE TABLE schools(point_id TEXT PRIMARY KEY, abbreviation TEXT NOT NULL, name TEXT NOT NULL);
CREATE TABLE subjects(abbreviation TEXT PRIMARY KEY, name TEXT NOT NULL);
CREATE TABLE timetable(table_id TEXT PRIMARY KEY, subject TEXT NOT NULL REFERENCES subjects(abbreviation),
                       start_time INTEGER NOT NULL, end_time INTEGER NOT NULL);
CREATE TABLE exam_schedules(exam_sched_id INTEGER PRIMARY KEY,
                            point_id TEXT NOT NULL REFERENCES schools(point_id),
                            table_id TEXT NOT NULL REFERENCES timetable(table_id),
                            scan_code TEXT UNIQUE, assigned INTEGER NOT NULL DEFAULT 1,
                            UNIQUE(point_id, table_id));
CREATE TABLE locks(lock_id TEXT PRIMARY KEY, rf_id TEXT NOT NULL UNIQUE, description TEXT NOT NULL,
                   longitude REAL NOT NULL, latitude REAL NOT NULL, state TEXT NOT NULL,
                   commission_state TEXT NOT NULL);
CREATE TABLE seals(seal_id INTEGER PRIMARY KEY AUTOINCREMENT,
                   exam_sched_id INTEGER NOT NULL REFERENCES exam_schedules(exam_sched_id),
                   lock_id TEXT NOT NULL REFERENCES locks(lock_id), rf_id TEXT NOT NULL,
                   user_id TEXT NOT NULL, sealed_at INTEGER NOT NULL, voided INTEGER NOT NULL DEFAULT 0);
-- For a look with the sqlite3 shell: sqlite3 vesk.db 'SELECT * FROM sealed_bags'
CREATE VIEW sealed_bags AS
  SELECT l.seal_id, e.point_id, e.table_id, e.scan_code, l.lock_id, l.rf_id, l.user_id,
         datetime(l.sealed_at, 'unixepoch') AS sealed_at_utc, l.voided
  FROM seals l JOIN exam_schedules e ON e.exam_sched_id = l.exam_sched_id;
)SQL";

// Demo data. Times are the November 2025 exam session, in UTC.
const char *const kSeed = R"SQL(
INSERT INTO schools VALUES
  ('1021', 'GHS', 'Greenfield High School'),
  ('1034', 'RVC', 'Riverside College'),
  ('1047', 'MPA', 'Mountain Peak Academy'),
  ('1052', 'SJS', 'St. Joseph''s Secondary School');
INSERT INTO subjects VALUES
  ('MATH1', 'Mathematics Paper 1'),
  ('MATH2', 'Mathematics Paper 2'),
  ('ENGHL1', 'English Home Language Paper 1'),
  ('PHYS1', 'Physical Sciences Paper 1'),
  ('HIST1', 'History Paper 1'),
  ('LIFE1', 'Life Sciences Paper 1');
INSERT INTO timetable VALUES
  ('3101', 'MATH1', 1762153200, 1762164000),
  ('3102', 'ENGHL1', 1762171200, 1762180200),
  ('3103', 'PHYS1', 1762239600, 1762250400),
  ('3104', 'MATH2', 1762326000, 1762336800),
  ('3105', 'HIST1', 1762412400, 1762421400),
  ('3106', 'LIFE1', 1762516800, 1762525800);
INSERT INTO exam_schedules VALUES
  (7001, '1021', '3101', '2531011021', 1),
  (7002, '1021', '3102', '2531021021', 1),
  (7003, '1021', '3103', '2531031021', 1),
  (7004, '1034', '3101', '2531011034', 1),
  (7005, '1034', '3104', '2531041034', 1),
  (7006, '1047', '3102', '2531021047', 1),
  (7007, '1047', '3105', '2531051047', 1),
  (7008, '1052', '3103', '2531031052', 1),
  (7009, '1052', '3106', '2531061052', 1),
  (7010, '1052', '3101', '2531011052', 0);
INSERT INTO locks VALUES
  ('5101', '303659', 'Padlock 5101', 28.2293, -25.7479, 'OPEN', 'COMMISSIONED'),
  ('5102', '303660', 'Padlock 5102', 28.2293, -25.7479, 'OPEN', 'COMMISSIONED'),
  ('5103', '303661', 'Padlock 5103', 28.2293, -25.7479, 'OPEN', 'COMMISSIONED'),
  ('5104', '303662', 'Padlock 5104', 28.0473, -26.2041, 'CLOSED', 'COMMISSIONED'),
  ('5105', '303663', 'Padlock 5105', 28.0473, -26.2041, 'CLOSED', 'COMMISSIONED'),
  ('5106', '303664', 'Padlock 5106', 28.2293, -25.7479, 'OPEN', 'COMMISSIONED'),
  ('5107', '411872', 'Padlock 5107', 28.2293, -25.7479, 'OPEN', 'UNCOMMISSIONED'),
  ('5108', '411873', 'Padlock 5108', 28.2293, -25.7479, 'OPEN', 'PENDING'),
  ('5109', '411874', 'Padlock 5109', 28.2293, -25.7479, 'OPEN', 'PENDING'),
  ('5110', '5000000123', 'Padlock 5110', 28.2293, -25.7479, 'OPEN', 'COMMISSIONED');
INSERT INTO seals(exam_sched_id, lock_id, rf_id, user_id, sealed_at) VALUES
  (7004, '5104', '303662', '17', 1762149600),
  (7004, '5105', '303663', '17', 1762149900);
)SQL";

// The password of each is stored only as its digest; the clear texts are for the banner.
const std::vector<DemoUser> kDemoUsers = {
    {"operator", "Pack2025", "Nomsa Dlamini"},
    {"jsmith", "Welcome1", "John Smith"},
    {"supervisor", "Sup3rvisor!", "Priya Naidoo"},
    // Exercises form encoding: "&", "=" and "+" in both fields.
    {"qa+team&co=1", "p@ss word+&=", "QA Station Account"},
};
const char *const kDemoUserIds[] = {"17", "23", "5", "41"};

constexpr const char *kScheduleColumns =
    "SELECT e.exam_sched_id, e.point_id, e.table_id, COALESCE(e.scan_code, ''), e.assigned, s.abbreviation, s.name, "
    "c.abbreviation, c.name, t.start_time, t.end_time FROM exam_schedules e "
    "JOIN timetable t ON t.table_id = e.table_id JOIN subjects s ON s.abbreviation = t.subject "
    "JOIN schools c ON c.point_id = e.point_id ";

constexpr const char *kLockColumns =
    "SELECT lock_id, rf_id, description, longitude, latitude, state, commission_state FROM locks ";

constexpr const char *kSealColumns =
    "SELECT l.seal_id, l.exam_sched_id, e.point_id, e.table_id, l.lock_id, l.rf_id, l.user_id, l.sealed_at, l.voided "
    "FROM seals l JOIN exam_schedules e ON e.exam_sched_id = l.exam_sched_id ";

int clampToInt(std::int64_t value)
{
    return value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

ExamScheduleRow readSchedule(const Statement &q)
{
    ExamScheduleRow row;
    row.examSchedId = clampToInt(q.integer(0));
    row.pointId = q.text(1);
    row.tableId = q.text(2);
    row.scanCode = q.text(3);
    row.assigned = q.integer(4) != 0;
    row.subjectAbbreviation = q.text(5);
    row.subjectName = q.text(6);
    row.centerAbbreviation = q.text(7);
    row.centerName = q.text(8);
    row.start = q.integer(9);
    row.end = q.integer(10);
    return row;
}

LockRow readLock(const Statement &q)
{
    LockRow row;
    row.lockId = q.text(0);
    row.rfId = q.text(1);
    row.description = q.text(2);
    row.longitude = q.real(3);
    row.latitude = q.real(4);
    row.state = q.text(5);
    row.commissionState = q.text(6);
    return row;
}

SealRow readSeal(const Statement &q)
{
    SealRow row;
    row.sealId = q.integer(0);
    row.examSchedId = clampToInt(q.integer(1));
    row.pointId = q.text(2);
    row.tableId = q.text(3);
    row.apId = q.text(4);
    row.apRfId = std::strtoull(q.text(5).c_str(), nullptr, 10);
    row.userId = q.text(6);
    row.sealedAt = q.integer(7);
    row.voided = q.integer(8) != 0;
    return row;
}

} // namespace

void WebStore::Closer::operator()(sqlite3 *db) const
{
    sqlite3_close_v2(db);
}

WebStore::WebStore() = default;
WebStore::~WebStore() = default;

bool WebStore::open(const std::string &path, std::string *error)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_db.reset();
    sqlite3 *db = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    m_db.reset(db); // a failed open still hands back a handle that must be closed
    if (rc != SQLITE_OK) {
        if (error) {
            *error = "Cannot open database " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        }
        m_db.reset();
        return false;
    }
    // Another process (a test reading the simulator's file) may hold a read lock briefly.
    sqlite3_busy_timeout(db, 3000);
    exec("PRAGMA foreign_keys = ON");

    std::string version;
    {
        Statement q(db, "SELECT value FROM meta WHERE key = 'schema'");
        if (q.next()) {
            version = q.text(0);
        }
    }
    if (version.empty()) {
        if (!createAndSeed(error)) {
            m_db.reset();
            return false;
        }
    } else if (version != kSchemaVersion) {
        if (error) {
            *error = "Database " + path + " has schema " + version + ", expected " + kSchemaVersion;
        }
        m_db.reset();
        return false;
    }
    return true;
}

void WebStore::close()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_db.reset();
}

bool WebStore::isOpen() const
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_db != nullptr;
}

bool WebStore::exec(const char *sql) const
{
    return m_db && sqlite3_exec(m_db.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool WebStore::createAndSeed(std::string *error)
{
    Transaction tx(m_db.get());
    bool ok = tx.ok() && exec(kSchema) && exec(kSeed);
    for (size_t i = 0; ok && i < kDemoUsers.size(); ++i) {
        Statement q(m_db.get(), "INSERT INTO users VALUES (?, ?, ?, ?)");
        ok = q.bind(1, std::string(kDemoUserIds[i]))
                 .bind(2, std::string(kDemoUsers[i].userName))
                 .bind(3, std::string(kDemoUsers[i].fullName))
                 .bind(4, passwordDigest(kDemoUsers[i].password))
                 .run();
    }
    if (ok) {
        Statement q(m_db.get(), "INSERT INTO meta VALUES ('schema', ?)");
        ok = q.bind(1, std::string(kSchemaVersion)).run();
    }
    if (!ok || !tx.commit()) {
        if (error) {
            *error = std::string("Cannot create the demo database: ") + sqlite3_errmsg(m_db.get());
        }
        return false;
    }
    return true;
}

const std::vector<DemoUser> &WebStore::demoUsers()
{
    return kDemoUsers;
}

std::string WebStore::passwordDigest(const std::string &password)
{
    const QByteArray bytes = QByteArray::fromStdString(password);
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex().toUpper().toStdString();
}

std::string WebStore::normaliseRf(const std::string &rf)
{
    if (rf.empty() || rf.size() > 20 || rf.find_first_not_of("0123456789") != std::string::npos) {
        return std::string();
    }
    errno = 0;
    const unsigned long long value = std::strtoull(rf.c_str(), nullptr, 10);
    if (errno == ERANGE) {
        return std::string();
    }
    return std::to_string(value);
}

std::optional<UserRow> WebStore::userByName(const std::string &userName) const
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement q(m_db.get(), "SELECT user_id, user_name, full_name, password_md5 FROM users WHERE user_name = ?");
    q.bind(1, userName);
    if (!q.next()) {
        return std::nullopt;
    }
    return UserRow{q.text(0), q.text(1), q.text(2), q.text(3)};
}

std::optional<ExamScheduleRow> WebStore::scheduleWhere(const char *where, const std::string &a,
                                                       const std::string &b) const
{
    std::vector<ExamScheduleRow> rows = schedulesWhere(where, a, b);
    if (rows.empty()) {
        return std::nullopt;
    }
    return rows.front();
}

std::vector<ExamScheduleRow> WebStore::schedulesWhere(const char *where, const std::string &a,
                                                      const std::string &b) const
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::vector<ExamScheduleRow> rows;
    Statement q(m_db.get(), (std::string(kScheduleColumns) + where).c_str());
    if (!a.empty()) {
        q.bind(1, a);
    }
    if (!b.empty()) {
        q.bind(2, b);
    }
    while (q.next()) {
        rows.push_back(readSchedule(q));
    }
    return rows;
}

std::optional<ExamScheduleRow> WebStore::scheduleByScanCode(const std::string &scanCode) const
{
    if (scanCode.empty()) {
        return std::nullopt;
    }
    return scheduleWhere("WHERE e.scan_code = ?1", scanCode, std::string());
}

std::optional<ExamScheduleRow> WebStore::schedule(const std::string &pointId, const std::string &tableId) const
{
    if (pointId.empty() || tableId.empty()) {
        return std::nullopt;
    }
    return scheduleWhere("WHERE e.point_id = ?1 AND e.table_id = ?2", pointId, tableId);
}

std::vector<ExamScheduleRow> WebStore::schedules() const
{
    return schedulesWhere("ORDER BY e.exam_sched_id", std::string(), std::string());
}

StoreStatus WebStore::linkScanCode(const std::string &scanCode, ExamScheduleRow *linked)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::optional<ExamScheduleRow> row = scheduleByScanCode(scanCode);
    if (!row) {
        return m_db ? StoreStatus::NotFound : StoreStatus::Failed;
    }
    if (!row->assigned) {
        Statement q(m_db.get(), "UPDATE exam_schedules SET assigned = 1 WHERE exam_sched_id = ?");
        if (!q.bind(1, std::int64_t(row->examSchedId)).run()) {
            return StoreStatus::Failed;
        }
        row->assigned = true;
    }
    if (linked) {
        *linked = *row;
    }
    return StoreStatus::Ok;
}

StoreStatus WebStore::setAssigned(const std::vector<PointTable> &pairs, bool assigned,
                                  std::vector<ExamScheduleRow> *changed, std::string *reason)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Transaction tx(m_db.get());
    if (!tx.ok()) {
        return StoreStatus::Failed;
    }
    std::vector<ExamScheduleRow> rows;
    for (const PointTable &pair : pairs) {
        std::optional<ExamScheduleRow> row = schedule(pair.pointId, pair.tableId);
        if (!row && assigned) {
            Statement known(m_db.get(), "SELECT (SELECT COUNT(*) FROM schools WHERE point_id = ?1) * "
                                        "(SELECT COUNT(*) FROM timetable WHERE table_id = ?2)");
            known.bind(1, pair.pointId).bind(2, pair.tableId);
            if (known.next() && known.integer(0) > 0) {
                // A new assignment gets the barcode its printed label would carry.
                Statement insert(m_db.get(), "INSERT INTO exam_schedules(point_id, table_id, scan_code, assigned) "
                                             "SELECT ?1, ?2, CASE WHEN EXISTS (SELECT 1 FROM exam_schedules WHERE "
                                             "scan_code = ?3) THEN NULL ELSE ?3 END, 1");
                if (!insert.bind(1, pair.pointId)
                         .bind(2, pair.tableId)
                         .bind(3, "25" + pair.tableId + pair.pointId)
                         .run()) {
                    return StoreStatus::Failed;
                }
                row = schedule(pair.pointId, pair.tableId);
            }
        }
        if (!row) {
            if (reason) {
                *reason = "No exam schedule for pointId " + pair.pointId + " and tableId " + pair.tableId;
            }
            return StoreStatus::NotFound;
        }
        Statement update(m_db.get(), "UPDATE exam_schedules SET assigned = ? WHERE exam_sched_id = ?");
        if (!update.bind(1, std::int64_t(assigned ? 1 : 0)).bind(2, std::int64_t(row->examSchedId)).run()) {
            return StoreStatus::Failed;
        }
        if (!assigned) {
            Statement voidSeals(m_db.get(), "UPDATE seals SET voided = 1 WHERE exam_sched_id = ? AND voided = 0");
            if (!voidSeals.bind(1, std::int64_t(row->examSchedId)).run()) {
                return StoreStatus::Failed;
            }
        }
        row->assigned = assigned;
        rows.push_back(*row);
    }
    if (!tx.commit()) {
        return StoreStatus::Failed;
    }
    if (changed) {
        *changed = std::move(rows);
    }
    return StoreStatus::Ok;
}

std::optional<LockRow> WebStore::lockWhere(const char *where, const std::string &key) const
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Statement q(m_db.get(), (std::string(kLockColumns) + where).c_str());
    q.bind(1, key);
    if (!q.next()) {
        return std::nullopt;
    }
    return readLock(q);
}

std::optional<LockRow> WebStore::lock(const std::string &lockId) const
{
    return lockWhere("WHERE lock_id = ?", lockId);
}

std::optional<LockRow> WebStore::lockByRf(const std::string &rf) const
{
    const std::string canonical = normaliseRf(rf);
    if (canonical.empty()) {
        return std::nullopt;
    }
    return lockWhere("WHERE rf_id = ?", canonical);
}

std::vector<LockRow> WebStore::locks() const
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::vector<LockRow> rows;
    Statement q(m_db.get(), (std::string(kLockColumns) + "ORDER BY lock_id").c_str());
    while (q.next()) {
        rows.push_back(readLock(q));
    }
    return rows;
}

StoreStatus WebStore::renameLock(const std::string &lockId, const std::string &description, LockRow *renamed)
{
    std::lock_guard<std::recursive_mutex> guard(m_mutex);
    if (!lock(lockId)) {
        return m_db ? StoreStatus::NotFound : StoreStatus::Failed;
    }
    Statement q(m_db.get(), "UPDATE locks SET description = ? WHERE lock_id = ?");
    if (!q.bind(1, description).bind(2, lockId).run()) {
        return StoreStatus::Failed;
    }
    if (renamed) {
        *renamed = *lock(lockId);
    }
    return StoreStatus::Ok;
}

StoreStatus WebStore::commissionLock(const std::string &lockId, const std::string &description, LockRow *commissioned)
{
    std::lock_guard<std::recursive_mutex> guard(m_mutex);
    if (!lock(lockId)) {
        return m_db ? StoreStatus::NotFound : StoreStatus::Failed;
    }
    Statement q(m_db.get(), "UPDATE locks SET commission_state = 'COMMISSIONED', "
                            "description = CASE WHEN ?1 = '' THEN description ELSE ?1 END WHERE lock_id = ?2");
    if (!q.bind(1, description).bind(2, lockId).run()) {
        return StoreStatus::Failed;
    }
    if (commissioned) {
        *commissioned = *lock(lockId);
    }
    return StoreStatus::Ok;
}

StoreStatus WebStore::recordSeal(const std::string &pointId, const std::string &tableId, const std::string &lockId,
                                 const std::string &userId, std::int64_t now, SealRow *seal, std::string *reason)
{
    std::lock_guard<std::recursive_mutex> guard(m_mutex);
    if (!m_db) {
        return StoreStatus::Failed;
    }
    const std::optional<ExamScheduleRow> exam = schedule(pointId, tableId);
    if (!exam) {
        if (reason) {
            *reason = "No exam schedule for pointId " + pointId + " and tableId " + tableId;
        }
        return StoreStatus::NotFound;
    }
    const std::optional<LockRow> padlock = lock(lockId);
    if (!padlock) {
        if (reason) {
            *reason = "Unknown lock " + lockId;
        }
        return StoreStatus::NotFound;
    }
    if (padlock->commissionState != "COMMISSIONED") {
        if (reason) {
            *reason = "Lock " + lockId + " is not commissioned (" + padlock->commissionState + ")";
        }
        return StoreStatus::Refused;
    }
    if (!exam->assigned) {
        if (reason) {
            *reason = "Subject " + tableId + " is not assigned to school " + pointId;
        }
        return StoreStatus::Refused;
    }

    Transaction tx(m_db.get());
    std::int64_t sealId = 0;
    {
        // A retried seal of the same bag with the same lock is not a second seal.
        Statement existing(m_db.get(),
                           "SELECT seal_id FROM seals WHERE exam_sched_id = ? AND lock_id = ? AND voided = 0");
        existing.bind(1, std::int64_t(exam->examSchedId)).bind(2, lockId);
        if (existing.next()) {
            sealId = existing.integer(0);
        }
    }
    if (sealId == 0) {
        Statement insert(m_db.get(), "INSERT INTO seals(exam_sched_id, lock_id, rf_id, user_id, sealed_at) "
                                     "VALUES (?, ?, ?, ?, ?)");
        if (!insert.bind(1, std::int64_t(exam->examSchedId))
                 .bind(2, lockId)
                 .bind(3, padlock->rfId)
                 .bind(4, userId)
                 .bind(5, now)
                 .run()) {
            return StoreStatus::Failed;
        }
        sealId = sqlite3_last_insert_rowid(m_db.get());
        Statement close(m_db.get(), "UPDATE locks SET state = 'CLOSED' WHERE lock_id = ?");
        if (!close.bind(1, lockId).run()) {
            return StoreStatus::Failed;
        }
    }
    if (!tx.commit()) {
        return StoreStatus::Failed;
    }
    Statement q(m_db.get(), (std::string(kSealColumns) + "WHERE l.seal_id = ?").c_str());
    q.bind(1, sealId);
    if (!q.next()) {
        return StoreStatus::Failed;
    }
    if (seal) {
        *seal = readSeal(q);
    }
    return StoreStatus::Ok;
}

std::vector<SealRow> WebStore::activeSeals(const std::string &pointId, const std::string &tableId, int offset,
                                           int limit, int *total) const
{
    std::lock_guard<std::recursive_mutex> guard(m_mutex);
    std::vector<SealRow> rows;
    const char *where = "WHERE e.point_id = ?1 AND e.table_id = ?2 AND l.voided = 0 ";
    if (total) {
        Statement count(m_db.get(), (std::string("SELECT COUNT(*) FROM seals l JOIN exam_schedules e ON "
                                                 "e.exam_sched_id = l.exam_sched_id ") +
                                     where)
                                        .c_str());
        count.bind(1, pointId).bind(2, tableId);
        *total = count.next() ? clampToInt(count.integer(0)) : 0;
    }
    Statement q(m_db.get(), (std::string(kSealColumns) + where + "ORDER BY l.seal_id LIMIT ?3 OFFSET ?4").c_str());
    q.bind(1, pointId).bind(2, tableId).bind(3, std::int64_t(limit)).bind(4, std::int64_t(offset));
    while (q.next()) {
        rows.push_back(readSeal(q));
    }
    return rows;
}

std::vector<SealRow> WebStore::seals() const
{
    std::lock_guard<std::recursive_mutex> guard(m_mutex);
    std::vector<SealRow> rows;
    Statement q(m_db.get(), (std::string(kSealColumns) + "ORDER BY l.seal_id").c_str());
    while (q.next()) {
        rows.push_back(readSeal(q));
    }
    return rows;
}

} // namespace sim
