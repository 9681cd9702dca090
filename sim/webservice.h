#pragma once

// Simulated Vesk web service: a real HTTP server on 127.0.0.1 with its data in SQLite.
//
// From a test:
//     QTemporaryDir dir;
//     sim::WebService::Options options;
//     options.databasePath = dir.filePath("vesk.db").toStdString(); // seeded on first start
//     sim::WebService service(options);                             // port 0: a free port
//     QVERIFY(service.start());
//     JSON session("127.0.0.1", QString::number(service.port()));
//     ... service.requests() gives every request as received (raw bytes, headers in order)
//     ... service.addFault({"/veskservice/login", sim::FaultAction::NotJson}) breaks replies
//     ... service.seals(), service.store().lock("5108") show what the client changed
//     manager.clearConnectionCache();  // optional: stop() never waits for idle connections
//     service.stop();                  // also releases requests held by FaultAction::NoAnswer
// Handlers run on the server's own threads, so a test may wait in a Qt event loop meanwhile.
//
// With curl (the password travels as the upper-case hexadecimal MD5 of the password):
//     S=http://127.0.0.1:8080/veskservice
//     D=$(printf '%s' 'Pack2025' | md5sum | cut -c1-32 | tr a-f A-F)   # 18D3744C39EE15DA57E066827CA424F0
//     curl -i -d "username=operator&password=$D" $S/login
//     T=$(curl -s -D - -o /dev/null -d "username=operator&password=$D" $S/login | tr -d '\r' |
//         sed -n 's/^DRAV-Token: //ip')
//     curl -H "DRAV-Token: $T" -X PUT -d '{"scanCode":"2531011021"}' $S/examschedule/link/subject/to/center
//     curl -H "DRAV-Token: $T" $S/lock/find/by/rf/303659
//     curl -H "DRAV-Token: $T" "$S/examschedule/ap?pointId=1034&tableId=3101"
//     curl -H "DRAV-Token: $T" -X PUT -d '{"pointId":"1021","tableId":"3101","apId":"5101"}' $S/timetable/seal
//     sqlite3 vesk.db 'SELECT * FROM sealed_bags'
//
// Demo data (seeded once; see webstore.cpp):
//     users     operator / Pack2025, jsmith / Welcome1, supervisor / Sup3rvisor!,
//               "qa+team&co=1" / "p@ss word+&=" (form-encoding check)
//     barcodes  2531011021 (Mathematics Paper 1, Greenfield High School), 2531021021, 2531031021,
//               2531011034 (already sealed twice: the multiple-seals case), 2531041034, 2531021047,
//               2531051047, 2531031052, 2531061052, 2531011052 (not assigned until linked)
//     locks     RF 303659..303664 (locks 5101..5106) commissioned, 5000000123 (5110, beyond 32 bits)
//               commissioned, 411872 (5107) UNCOMMISSIONED: seals refused, 411873 and 411874
//               (5108, 5109) PENDING: the client validates them first
//
// Endpoints, all under /veskservice/; PUT may also arrive as POST with "X-HTTP-Method-Override: PUT":
//     POST login                                form username, password -> header DRAV-Token
//     PUT  examschedule/link/subject/to/center  {"scanCode"}             -> exam schedule or null
//     PUT  examschedule/assign/sub/center/      [{"pointId","tableId"}]  -> array of exam schedules
//     PUT  examschedule/deassign/sub/center/    as assign; voids the seals of those subjects
//     GET  examschedule/ap?pointId=&tableId=[&offset=&limit=]          -> page of seals in force
//     PUT  lock                                 {"lockId","description"} -> page with the lock
//     GET  lock/find/by/rf/<decimal RF number>                         -> lock or null
//     PUT  lock/validate                        {"lockId","description","type"} -> commissioned lock
//     PUT  timetable/seal                       {"pointId","tableId","apId"} -> seal or null
// Every reply is the envelope {"rc","rm","sfc","result"}. HTTP status: 401 for a failed login
// or a missing or unknown token, 400 for a malformed body or query, 404 for an unknown path,
// 405 for a wrong method, otherwise 200 with the outcome in "rc" (404 when nothing matched,
// 409 when the service refuses the change, e.g. a seal with a lock that is not commissioned).

#include "sim/webstore.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
struct Request;
struct Response;
} // namespace httplib

namespace sim {

class WebEngine;

// One request as it arrived on the socket.
struct RecordedRequest
{
    std::string method; // as on the request line
    std::string target; // as on the request line: path and query, still percent-encoded
    std::string path;   // target before "?"
    std::string query;  // target after "?", empty when there is none
    std::vector<std::pair<std::string, std::string>> headers; // in the order received
    std::string body;
    std::string raw; // request line, headers and body exactly as received

    // First value of a header, the name compared without letter case; empty when absent.
    std::string header(const std::string &name) const;
    bool hasHeader(const std::string &name) const;
};

enum class FaultAction
{
    Answer,          // answer normally (after the delay, if any)
    ServerError,     // HTTP 500 with an error envelope
    NotJson,         // HTTP 200 with an HTML page
    CloseConnection, // close the connection without any reply bytes
    NoAnswer         // hold the request until releaseHeld() or stop(), then close without a reply
};

struct FaultRule
{
    // Exact path ("/veskservice/login"); a trailing "*" matches a prefix; empty matches every request.
    std::string path;
    FaultAction action = FaultAction::Answer;
    std::chrono::milliseconds delay{0}; // added before the action
    // Requests it applies to; -1 for all of them. Qt resends a request once when its
    // connection closes without a reply, so CloseConnection and NoAnswer need 2 or -1
    // before a Qt client sees the failure.
    int times = -1;
};

class WebService
{
public:
    struct Options
    {
        std::string host = "127.0.0.1";
        int port = 0; // 0 picks a free port
        std::string databasePath;
        std::size_t threads = 8; // each open keep-alive connection holds one
        // One line per answered request ("PUT /veskservice/timetable/seal 200 rc=200"); never
        // carries bodies, tokens or digests. Called on the server's threads.
        std::function<void(const std::string &)> log;
    };

    explicit WebService(Options options);
    ~WebService();
    WebService(const WebService &) = delete;
    WebService &operator=(const WebService &) = delete;

    // Opens the store and starts listening; false with a reason when the port or file is unusable.
    bool start(std::string *error = nullptr);
    // Returns promptly: idle connections are closed and held requests released without reply.
    void stop();
    bool isRunning() const;
    int port() const;
    std::string baseUrl() const; // "http://127.0.0.1:<port>"

    // Faults apply in the order added; the first rule matching a request is used.
    void addFault(FaultRule rule);
    void clearFaults();
    void releaseHeld();
    std::size_t heldCount() const;

    // The last kMaxRecorded requests, oldest first.
    static constexpr std::size_t kMaxRecorded = 1000;
    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const; // all requests since start or clearRequests()
    void clearRequests();

    WebStore &store();
    std::vector<SealRow> seals() const;
    std::optional<LockRow> lock(const std::string &lockId) const;
    std::optional<bool> isAssigned(const std::string &pointId, const std::string &tableId) const;

private:
    struct Reply;

    void handle(const httplib::Request &request, httplib::Response &response);
    bool applyFault(const std::string &path, httplib::Response &response);
    std::optional<std::string> userForToken(const std::string &token) const;
    Reply route(const std::string &method, const std::string &path, const httplib::Request &request);
    Reply login(const httplib::Request &request);
    Reply link(const httplib::Request &request);
    Reply assign(const httplib::Request &request, bool assigned);
    Reply existingSeals(const httplib::Request &request);
    Reply renameLock(const httplib::Request &request);
    Reply findLock(const std::string &rf);
    Reply validateLock(const httplib::Request &request);
    Reply seal(const httplib::Request &request, const std::string &userId);
    bool sleepWhileRunning(std::chrono::milliseconds delay); // false when the service stops meanwhile
    void holdUntilReleased();

    const Options m_options;
    WebStore m_store;
    std::unique_ptr<WebEngine> m_engine;
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_port{0};

    mutable std::mutex m_mutex; // guards everything below
    std::condition_variable m_wake;
    std::deque<RecordedRequest> m_requests;
    std::size_t m_requestCount = 0;
    std::vector<FaultRule> m_faults;
    std::size_t m_held = 0;
    std::uint64_t m_releaseGeneration = 0;
    std::map<std::string, std::string> m_tokens; // token -> user id
    std::deque<std::string> m_tokenOrder;        // oldest first, to bound the map
};

} // namespace sim
