#pragma once

// Storage of the simulated web service: one SQLite file with schools, subjects, the
// exam timetable, exam schedules (a timetable entry at a school, linked by the bag's
// barcode), users, locks and the seals recorded with them.
//
// The store is usable on its own, so that a test can open the database file of a
// simulator process and check what it recorded:
//     sim::WebStore store;
//     if (store.open(path)) for (const sim::SealRow &s : store.seals()) ...
// Every member is thread-safe: one mutex guards the connection.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;

namespace sim {

struct ExamScheduleRow
{
    int examSchedId = -1;
    std::string pointId;
    std::string tableId;
    std::string scanCode;
    bool assigned = false;
    std::string subjectAbbreviation;
    std::string subjectName;
    std::string centerAbbreviation;
    std::string centerName;
    std::int64_t start = -1; // Unix time, UTC
    std::int64_t end = -1;
};

struct LockRow
{
    std::string lockId;
    std::string rfId; // decimal RF tag number as the key reports it
    std::string description;
    double longitude = 0.0;
    double latitude = 0.0;
    std::string state;           // "OPEN" or "CLOSED"
    std::string commissionState; // "COMMISSIONED", "UNCOMMISSIONED", "PENDING", ...
};

struct SealRow
{
    std::int64_t sealId = 0;
    int examSchedId = 0;
    std::string pointId;
    std::string tableId;
    std::string apId; // the lock's lockId
    std::uint64_t apRfId = 0;
    std::string userId;
    std::int64_t sealedAt = 0; // Unix time
    bool voided = false;       // set when the subject was deassigned from the school
};

struct UserRow
{
    std::string userId;
    std::string userName;
    std::string fullName;
    std::string passwordDigest; // upper-case hexadecimal MD5 of the password
};

// A demo account as seeded, with its password in clear for the simulator's banner.
struct DemoUser
{
    const char *userName;
    const char *password;
    const char *fullName;
};

// Outcome of a change; Refused and NotFound carry a reason text for the reply.
enum class StoreStatus
{
    Ok,
    NotFound,
    Refused,
    Failed // the database itself failed
};

struct PointTable
{
    std::string pointId;
    std::string tableId;
};

class WebStore
{
public:
    WebStore();
    ~WebStore();
    WebStore(const WebStore &) = delete;
    WebStore &operator=(const WebStore &) = delete;

    // Opens (creating when needed) the database file and seeds the demo data on first use.
    bool open(const std::string &path, std::string *error = nullptr);
    void close();
    bool isOpen() const;

    static const std::vector<DemoUser> &demoUsers();
    static std::string passwordDigest(const std::string &password);
    // Canonical decimal form of an RF tag text ("000303659" -> "303659"); empty when not decimal.
    static std::string normaliseRf(const std::string &rf);

    std::optional<UserRow> userByName(const std::string &userName) const;

    std::optional<ExamScheduleRow> scheduleByScanCode(const std::string &scanCode) const;
    std::optional<ExamScheduleRow> schedule(const std::string &pointId, const std::string &tableId) const;
    std::vector<ExamScheduleRow> schedules() const;
    // Linking a bag's barcode assigns its subject to the school when it was not.
    StoreStatus linkScanCode(const std::string &scanCode, ExamScheduleRow *linked);
    // Assigning creates the exam schedule when the school and timetable entry exist.
    // Deassigning voids the seals recorded for it. All pairs change, or none.
    StoreStatus setAssigned(const std::vector<PointTable> &pairs, bool assigned, std::vector<ExamScheduleRow> *changed,
                            std::string *reason);

    std::optional<LockRow> lock(const std::string &lockId) const;
    std::optional<LockRow> lockByRf(const std::string &rf) const;
    std::vector<LockRow> locks() const;
    StoreStatus renameLock(const std::string &lockId, const std::string &description, LockRow *renamed);
    StoreStatus commissionLock(const std::string &lockId, const std::string &description, LockRow *commissioned);

    // Records a seal of a bag with a lock; the same lock on the same bag again gives the first seal.
    StoreStatus recordSeal(const std::string &pointId, const std::string &tableId, const std::string &lockId,
                           const std::string &userId, std::int64_t now, SealRow *seal, std::string *reason);
    // Seals still in force for one subject at one school, oldest first.
    std::vector<SealRow> activeSeals(const std::string &pointId, const std::string &tableId, int offset, int limit,
                                     int *total) const;
    // Every seal ever recorded, voided ones included, oldest first.
    std::vector<SealRow> seals() const;

private:
    bool createAndSeed(std::string *error);
    std::optional<ExamScheduleRow> scheduleWhere(const char *where, const std::string &a, const std::string &b) const;
    std::vector<ExamScheduleRow> schedulesWhere(const char *where, const std::string &a, const std::string &b) const;
    std::optional<LockRow> lockWhere(const char *where, const std::string &key) const;
    bool exec(const char *sql) const;

    struct Closer
    {
        void operator()(sqlite3 *db) const;
    };
    mutable std::recursive_mutex m_mutex; // lookups run inside changes
    std::unique_ptr<sqlite3, Closer> m_db;
};

} // namespace sim
