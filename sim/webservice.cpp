#include "sim/webservice.h"

#include "sim/webconnection.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRandomGenerator>
#include <QString>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>

namespace sim {

namespace {

const std::string kPrefix = "/veskservice/";
const std::string kFindByRf = "lock/find/by/rf/";
constexpr std::size_t kMaxTokens = 256;
constexpr std::size_t kMaxBody = 64 * 1024;
constexpr int kDefaultPageSize = 50;
constexpr int kMaxPageSize = 500;
constexpr const char *kJsonType = "application/json;charset=UTF-8";

bool equalsIgnoringCase(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string trimmed(const std::string &text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

QString qs(const std::string &text)
{
    return QString::fromStdString(text);
}

// Identifiers arrive as JSON strings; a whole number is taken as its decimal text.
std::string idText(const QJsonValue &value)
{
    if (value.isString()) {
        return value.toString().toStdString();
    }
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < 9007199254740992.0) {
            return std::to_string(static_cast<std::int64_t>(number));
        }
    }
    return std::string();
}

std::optional<QJsonDocument> parseJson(const std::string &body)
{
    QJsonParseError error{};
    QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(body), &error);
    if (error.error != QJsonParseError::NoError) {
        return std::nullopt;
    }
    return document;
}

// Non-negative decimal query value; nullopt when malformed, fallback when absent.
std::optional<int> queryNumber(const httplib::Request &request, const char *name, int fallback)
{
    if (!request.has_param(name)) {
        return fallback;
    }
    const std::string text = request.get_param_value(name);
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoi(text);
}

QJsonObject scheduleJson(const ExamScheduleRow &row)
{
    QJsonObject object;
    object.insert("examSchedId", row.examSchedId);
    object.insert("pointId", qs(row.pointId));
    object.insert("tableId", qs(row.tableId));
    object.insert("state", row.assigned ? "ASSIGNED" : "UNASSIGNED");
    object.insert("subjectAbbreviation", qs(row.subjectAbbreviation));
    object.insert("subjectName", qs(row.subjectName));
    object.insert("centerAbbreviation", qs(row.centerAbbreviation));
    object.insert("centerName", qs(row.centerName));
    object.insert("start", static_cast<double>(row.start));
    object.insert("end", static_cast<double>(row.end));
    object.insert("scanCode", qs(row.scanCode));
    return object;
}

QJsonObject lockJson(const LockRow &row)
{
    QJsonObject object;
    object.insert("lockId", qs(row.lockId));
    object.insert("description", qs(row.description));
    object.insert("longitude", row.longitude);
    object.insert("latitude", row.latitude);
    object.insert("state", qs(row.state));
    object.insert("commissionState", qs(row.commissionState));
    object.insert("rfId", qs(row.rfId));
    return object;
}

QJsonObject sealJson(const SealRow &row)
{
    QJsonObject object;
    object.insert("sealId", static_cast<double>(row.sealId));
    object.insert("tableId", qs(row.tableId));
    object.insert("pointId", qs(row.pointId));
    object.insert("apId", qs(row.apId));
    object.insert("examSchedId", row.examSchedId);
    // A JSON number holds integers exactly up to 2^53; larger tag numbers go as text.
    if (row.apRfId <= (std::uint64_t(1) << 53)) {
        object.insert("apRfId", static_cast<double>(row.apRfId));
    } else {
        object.insert("apRfId", qs(std::to_string(row.apRfId)));
    }
    object.insert("sealedAt", static_cast<double>(row.sealedAt));
    object.insert("userId", qs(row.userId));
    return object;
}

QJsonObject page(const QJsonArray &list, int count, int offset, int limit)
{
    QJsonObject object;
    object.insert("count", count);
    object.insert("offset", offset);
    object.insert("limit", limit);
    object.insert("list", list);
    return object;
}

std::string envelope(int rc, const std::string &message, const QJsonValue &result)
{
    QJsonObject object;
    object.insert("rc", rc);
    object.insert("rm", qs(message));
    object.insert("sfc", QString());
    object.insert("result", result);
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

std::string newToken()
{
    QByteArray bytes(16, '\0');
    for (char &byte : bytes) {
        byte = static_cast<char>(QRandomGenerator::system()->bounded(256));
    }
    return bytes.toHex().toStdString();
}

RecordedRequest recordOf(const httplib::Request &request, const WebConnection *connection)
{
    RecordedRequest record;
    record.method = request.method;
    record.target = request.target;
    const size_t question = record.target.find('?');
    record.path = record.target.substr(0, question);
    record.query = question == std::string::npos ? std::string() : record.target.substr(question + 1);
    record.body = request.body;
    if (connection) {
        record.raw = connection->consumed;
    }
    // Headers in wire order come from the bytes themselves; the library sorts them.
    const size_t headEnd = record.raw.find("\r\n\r\n");
    size_t lineStart = record.raw.find("\r\n");
    while (lineStart != std::string::npos && lineStart < headEnd) {
        lineStart += 2;
        const size_t lineEnd = record.raw.find("\r\n", lineStart);
        const std::string line = record.raw.substr(lineStart, lineEnd - lineStart);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            record.headers.emplace_back(line.substr(0, colon), trimmed(line.substr(colon + 1)));
        }
        lineStart = lineEnd;
    }
    return record;
}

bool pathMatches(const std::string &pattern, const std::string &path)
{
    if (pattern.empty()) {
        return true;
    }
    if (pattern.back() == '*') {
        return path.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    }
    return pattern == path;
}

} // namespace

std::string RecordedRequest::header(const std::string &name) const
{
    for (const auto &entry : headers) {
        if (equalsIgnoringCase(entry.first, name)) {
            return entry.second;
        }
    }
    return std::string();
}

bool RecordedRequest::hasHeader(const std::string &name) const
{
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto &entry) { return equalsIgnoringCase(entry.first, name); });
}

struct WebService::Reply
{
    int http = 200;
    int rc = 200;
    std::string message = "OK";
    QJsonValue result = QJsonValue(QJsonValue::Null);
    std::string token;
    std::string allow; // for 405

    static Reply error(int http, int rc, const std::string &message)
    {
        Reply reply;
        reply.http = http;
        reply.rc = rc;
        reply.message = message;
        return reply;
    }
    static Reply ok(const QJsonValue &result)
    {
        Reply reply;
        reply.result = result;
        return reply;
    }
};

WebService::WebService(Options options) : m_options(std::move(options)) {}

WebService::~WebService()
{
    stop();
}

bool WebService::start(std::string *error)
{
    if (isRunning()) {
        return true;
    }
    if (!m_store.isOpen() && !m_store.open(m_options.databasePath, error)) {
        return false;
    }
    m_stopping = false;
    m_engine = std::make_unique<WebEngine>(m_stopping);
    const std::size_t threads = std::max<std::size_t>(1, m_options.threads);
    // The library takes ownership of the queue it gets from this factory.
    m_engine->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    m_engine->set_keep_alive_max_count(100);
    m_engine->set_keep_alive_timeout(5);
    m_engine->set_read_timeout(5, 0);
    m_engine->set_write_timeout(5, 0);
    m_engine->set_payload_max_length(kMaxBody);
    const auto handler = [this](const httplib::Request &request, httplib::Response &response) {
        handle(request, response);
    };
    m_engine->Get(".*", handler);
    m_engine->Post(".*", handler);
    m_engine->Put(".*", handler);
    m_engine->Delete(".*", handler);
    m_engine->Patch(".*", handler);

    int port = m_options.port;
    if (port == 0) {
        port = m_engine->bind_to_any_port(m_options.host);
    } else if (!m_engine->bind_to_port(m_options.host, port)) {
        port = -1;
    }
    if (port <= 0) {
        if (error) {
            *error = "Cannot listen on " + m_options.host + ":" + std::to_string(m_options.port);
        }
        m_engine.reset();
        return false;
    }
    m_port = port;
    auto listenEnded = std::make_shared<std::atomic<bool>>(false);
    m_thread = std::thread([this, listenEnded] {
        m_engine->listen_after_bind();
        *listenEnded = true;
    });
    // stop() only reaches a server whose accept loop has begun.
    while (!m_engine->is_running() && !*listenEnded) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (*listenEnded) {
        stop();
        if (error) {
            *error = "The server on port " + std::to_string(port) + " ended at once";
        }
        return false;
    }
    return true;
}

void WebService::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_engine) {
        m_engine->stop();
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_engine.reset();
    m_port = 0;
}

bool WebService::isRunning() const
{
    return m_thread.joinable() && !m_stopping;
}

int WebService::port() const
{
    return m_port;
}

std::string WebService::baseUrl() const
{
    return "http://" + m_options.host + ":" + std::to_string(m_port);
}

void WebService::addFault(FaultRule rule)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (rule.times != 0) {
        m_faults.push_back(std::move(rule));
    }
}

void WebService::clearFaults()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
}

void WebService::releaseHeld()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_releaseGeneration;
    }
    m_wake.notify_all();
}

std::size_t WebService::heldCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_held;
}

std::vector<RecordedRequest> WebService::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<RecordedRequest>(m_requests.begin(), m_requests.end());
}

std::size_t WebService::requestCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requestCount;
}

void WebService::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
    m_requestCount = 0;
}

WebStore &WebService::store()
{
    return m_store;
}

std::vector<SealRow> WebService::seals() const
{
    return m_store.seals();
}

std::optional<LockRow> WebService::lock(const std::string &lockId) const
{
    return m_store.lock(lockId);
}

std::optional<bool> WebService::isAssigned(const std::string &pointId, const std::string &tableId) const
{
    const std::optional<ExamScheduleRow> row = m_store.schedule(pointId, tableId);
    return row ? std::optional<bool>(row->assigned) : std::nullopt;
}

bool WebService::sleepWhileRunning(std::chrono::milliseconds delay)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait_for(lock, delay, [this] { return m_stopping.load(); });
    return !m_stopping;
}

void WebService::holdUntilReleased()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const std::uint64_t generation = m_releaseGeneration;
    ++m_held;
    m_wake.wait(lock, [&] { return m_stopping.load() || m_releaseGeneration != generation; });
    --m_held;
}

bool WebService::applyFault(const std::string &path, httplib::Response &response)
{
    FaultRule rule;
    bool matched = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
            if (pathMatches(it->path, path)) {
                rule = *it;
                matched = true;
                if (it->times > 0 && --it->times == 0) {
                    m_faults.erase(it);
                }
                break;
            }
        }
    }
    if (!matched) {
        return true;
    }
    WebConnection *connection = currentWebConnection();
    if (rule.delay.count() > 0 && !sleepWhileRunning(rule.delay)) {
        if (connection) {
            dropWebConnection(*connection);
        }
        return false;
    }
    switch (rule.action) {
    case FaultAction::Answer:
        return true;
    case FaultAction::ServerError:
        response.status = 500;
        response.set_content(envelope(500, "Internal server error", QJsonValue(QJsonValue::Null)), kJsonType);
        return false;
    case FaultAction::NotJson:
        response.status = 200;
        response.set_content("<html><head><title>Service Unavailable</title></head>"
                             "<body><h1>Service Unavailable</h1><p>Please try again later.</p></body></html>",
                             "text/html");
        return false;
    case FaultAction::NoAnswer:
        holdUntilReleased();
        [[fallthrough]];
    case FaultAction::CloseConnection:
        if (connection) {
            dropWebConnection(*connection);
        }
        return false;
    }
    return true;
}

void WebService::handle(const httplib::Request &request, httplib::Response &response)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(recordOf(request, currentWebConnection()));
        ++m_requestCount;
        while (m_requests.size() > kMaxRecorded) {
            m_requests.pop_front();
        }
    }
    if (!applyFault(request.path, response)) {
        return;
    }

    // Clients that cannot send PUT send POST and name the method in this header.
    std::string method = request.method;
    const std::string override = request.get_header_value("X-HTTP-Method-Override");
    if (method == "POST" && !override.empty()) {
        method = override;
        std::transform(method.begin(), method.end(), method.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    }

    const Reply reply = route(method, request.path, request);
    response.status = reply.http;
    if (!reply.token.empty()) {
        response.set_header("DRAV-Token", reply.token);
    }
    if (!reply.allow.empty()) {
        response.set_header("Allow", reply.allow);
    }
    response.set_content(envelope(reply.rc, reply.message, reply.result), kJsonType);
    if (m_options.log) {
        m_options.log(request.method + " " + request.path + " " + std::to_string(reply.http) +
                      " rc=" + std::to_string(reply.rc));
    }
}

std::optional<std::string> WebService::userForToken(const std::string &token) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_tokens.find(token);
    if (token.empty() || it == m_tokens.end()) {
        return std::nullopt;
    }
    return it->second;
}

WebService::Reply WebService::route(const std::string &method, const std::string &path, const httplib::Request &request)
{
    const auto expect = [&method](const char *allowed) {
        if (method == allowed) {
            return std::optional<Reply>();
        }
        Reply reply = Reply::error(405, 405, "Method " + method + " not allowed");
        reply.allow = allowed;
        return std::optional<Reply>(reply);
    };

    if (path == kPrefix + "login") {
        if (const auto wrong = expect("POST")) {
            return *wrong;
        }
        return login(request);
    }
    if (path.compare(0, kPrefix.size(), kPrefix) != 0) {
        return Reply::error(404, 404, "Not found: " + path);
    }
    const std::optional<std::string> userId = userForToken(request.get_header_value("DRAV-Token"));
    if (!userId) {
        return Reply::error(401, 401, "Not authorised: sign in first");
    }

    const std::string rest = path.substr(kPrefix.size());
    const auto put = [&](auto &&action) {
        const std::optional<Reply> wrong = expect("PUT");
        return wrong ? *wrong : action();
    };
    if (rest == "examschedule/link/subject/to/center") {
        return put([&] { return link(request); });
    }
    if (rest == "examschedule/assign/sub/center/" || rest == "examschedule/assign/sub/center") {
        return put([&] { return assign(request, true); });
    }
    if (rest == "examschedule/deassign/sub/center/" || rest == "examschedule/deassign/sub/center") {
        return put([&] { return assign(request, false); });
    }
    if (rest == "examschedule/ap") {
        const auto wrong = expect("GET");
        return wrong ? *wrong : existingSeals(request);
    }
    if (rest == "lock") {
        return put([&] { return renameLock(request); });
    }
    if (rest == "lock/validate") {
        return put([&] { return validateLock(request); });
    }
    if (rest.compare(0, kFindByRf.size(), kFindByRf) == 0) {
        const auto wrong = expect("GET");
        return wrong ? *wrong : findLock(rest.substr(kFindByRf.size()));
    }
    if (rest == "timetable/seal") {
        return put([&] { return seal(request, *userId); });
    }
    return Reply::error(404, 404, "Not found: " + path);
}

WebService::Reply WebService::login(const httplib::Request &request)
{
    // The form is read from the body alone, decoded as application/x-www-form-urlencoded.
    std::optional<std::string> userName;
    std::optional<std::string> digest;
    httplib::detail::split(
        request.body.data(), request.body.data() + request.body.size(), '&', [&](const char *begin, const char *end) {
            const std::string field(begin, end);
            const size_t equals = field.find('=');
            const std::string key = httplib::detail::decode_url(field.substr(0, equals), true);
            const std::string value = equals == std::string::npos
                                          ? std::string()
                                          : httplib::detail::decode_url(field.substr(equals + 1), true);
            if (key == "username" && !userName) {
                userName = value;
            } else if (key == "password" && !digest) {
                digest = value;
            }
        });
    if (!userName || !digest) {
        return Reply::error(400, 400, "The form needs username and password");
    }
    const std::optional<UserRow> user = m_store.userByName(*userName);
    if (!user || user->passwordDigest != *digest) {
        return Reply::error(401, 401, "Invalid user name or password");
    }

    Reply reply;
    reply.token = newToken();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tokens.emplace(reply.token, user->userId);
        m_tokenOrder.push_back(reply.token);
        while (m_tokenOrder.size() > kMaxTokens) {
            m_tokens.erase(m_tokenOrder.front());
            m_tokenOrder.pop_front();
        }
    }
    QJsonObject result;
    result.insert("userId", qs(user->userId));
    result.insert("userName", qs(user->userName));
    result.insert("fullName", qs(user->fullName));
    reply.result = result;
    return reply;
}

WebService::Reply WebService::link(const httplib::Request &request)
{
    const std::optional<QJsonDocument> body = parseJson(request.body);
    if (!body || !body->isObject() || !body->object().value("scanCode").isString()) {
        return Reply::error(400, 400, "The body needs a scanCode text");
    }
    const std::string code = body->object().value("scanCode").toString().toStdString();
    ExamScheduleRow row;
    switch (m_store.linkScanCode(code, &row)) {
    case StoreStatus::Ok:
        return Reply::ok(scheduleJson(row));
    case StoreStatus::NotFound:
    case StoreStatus::Refused:
        return Reply::error(200, 404, "No exam schedule for scan code " + code);
    case StoreStatus::Failed:
        break;
    }
    return Reply::error(500, 500, "Database failure");
}

WebService::Reply WebService::assign(const httplib::Request &request, bool assigned)
{
    const std::optional<QJsonDocument> body = parseJson(request.body);
    if (!body || !body->isArray() || body->array().isEmpty()) {
        return Reply::error(400, 400, "The body needs an array of pointId and tableId objects");
    }
    std::vector<PointTable> pairs;
    for (const QJsonValue &element : body->array()) {
        const QJsonObject object = element.toObject();
        PointTable pair{idText(object.value("pointId")), idText(object.value("tableId"))};
        if (pair.pointId.empty() || pair.tableId.empty()) {
            return Reply::error(400, 400, "Every element needs pointId and tableId");
        }
        pairs.push_back(std::move(pair));
    }
    std::vector<ExamScheduleRow> changed;
    std::string reason;
    switch (m_store.setAssigned(pairs, assigned, &changed, &reason)) {
    case StoreStatus::Ok: {
        QJsonArray list;
        for (const ExamScheduleRow &row : changed) {
            list.append(scheduleJson(row));
        }
        return Reply::ok(list);
    }
    case StoreStatus::NotFound:
    case StoreStatus::Refused: {
        Reply reply = Reply::error(200, 404, reason);
        reply.result = QJsonArray();
        return reply;
    }
    case StoreStatus::Failed:
        break;
    }
    return Reply::error(500, 500, "Database failure");
}

WebService::Reply WebService::existingSeals(const httplib::Request &request)
{
    const std::string pointId = request.get_param_value("pointId");
    const std::string tableId = request.get_param_value("tableId");
    const std::optional<int> offset = queryNumber(request, "offset", 0);
    const std::optional<int> limit = queryNumber(request, "limit", kDefaultPageSize);
    if (pointId.empty() || tableId.empty() || !offset || !limit || *limit == 0 || *limit > kMaxPageSize) {
        return Reply::error(400, 400, "The query needs pointId and tableId, and offset and limit when given");
    }
    int total = 0;
    QJsonArray list;
    for (const SealRow &row : m_store.activeSeals(pointId, tableId, *offset, *limit, &total)) {
        list.append(sealJson(row));
    }
    return Reply::ok(page(list, total, *offset, *limit));
}

WebService::Reply WebService::renameLock(const httplib::Request &request)
{
    const std::optional<QJsonDocument> body = parseJson(request.body);
    const QJsonObject object = body ? body->object() : QJsonObject();
    const std::string lockId = idText(object.value("lockId"));
    if (lockId.empty() || !object.value("description").isString()) {
        return Reply::error(400, 400, "The body needs lockId and description");
    }
    LockRow row;
    switch (m_store.renameLock(lockId, object.value("description").toString().toStdString(), &row)) {
    case StoreStatus::Ok:
        return Reply::ok(page(QJsonArray{lockJson(row)}, 1, 0, 1));
    case StoreStatus::NotFound:
    case StoreStatus::Refused:
        return Reply::error(200, 404, "Unknown lock " + lockId);
    case StoreStatus::Failed:
        break;
    }
    return Reply::error(500, 500, "Database failure");
}

WebService::Reply WebService::findLock(const std::string &rf)
{
    const std::optional<LockRow> row = m_store.lockByRf(rf);
    if (!row) {
        return Reply::error(200, 404, "No lock with RF tag " + rf);
    }
    return Reply::ok(lockJson(*row));
}

WebService::Reply WebService::validateLock(const httplib::Request &request)
{
    const std::optional<QJsonDocument> body = parseJson(request.body);
    const QJsonObject object = body ? body->object() : QJsonObject();
    const std::string lockId = idText(object.value("lockId"));
    if (lockId.empty()) {
        return Reply::error(400, 400, "The body needs lockId");
    }
    LockRow row;
    switch (m_store.commissionLock(lockId, object.value("description").toString().toStdString(), &row)) {
    case StoreStatus::Ok:
        return Reply::ok(lockJson(row));
    case StoreStatus::NotFound:
    case StoreStatus::Refused:
        return Reply::error(200, 404, "Unknown lock " + lockId);
    case StoreStatus::Failed:
        break;
    }
    return Reply::error(500, 500, "Database failure");
}

WebService::Reply WebService::seal(const httplib::Request &request, const std::string &userId)
{
    const std::optional<QJsonDocument> body = parseJson(request.body);
    const QJsonObject object = body ? body->object() : QJsonObject();
    const std::string pointId = idText(object.value("pointId"));
    const std::string tableId = idText(object.value("tableId"));
    const std::string apId = idText(object.value("apId"));
    if (pointId.empty() || tableId.empty() || apId.empty()) {
        return Reply::error(400, 400, "The body needs pointId, tableId and apId");
    }
    SealRow row;
    std::string reason;
    switch (m_store.recordSeal(pointId, tableId, apId, userId, static_cast<std::int64_t>(std::time(nullptr)), &row,
                               &reason)) {
    case StoreStatus::Ok:
        return Reply::ok(sealJson(row));
    case StoreStatus::NotFound:
        return Reply::error(200, 404, reason);
    case StoreStatus::Refused:
        return Reply::error(200, 409, reason);
    case StoreStatus::Failed:
        break;
    }
    return Reply::error(500, 500, "Database failure");
}

} // namespace sim
