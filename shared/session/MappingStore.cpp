#include "shared/session/MappingStore.h"

#include <sqlite3.h>
#include <cerrno>
#include <cmath>
#include <set>
#include <system_error>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "platform/core/DataPaths.h"
#include "platform/core/PlatformError.h"
#include "shared/session/DesktopError.h"
#include "shared/session/RemotePath.h"

namespace nimbuscrate {

namespace {

constexpr const char* kRootID = "root";

constexpr const char* kSchemaScript =
    "  CREATE TABLE IF NOT EXISTS items (\n"
    "    id TEXT PRIMARY KEY, parent_id TEXT NOT NULL, path TEXT NOT NULL UNIQUE,\n"
    "    name TEXT NOT NULL, is_directory INTEGER NOT NULL, size INTEGER NOT NULL,\n"
    "    modified_at REAL NOT NULL, etag TEXT NOT NULL, content_type TEXT\n"
    "  );\n"
    "  CREATE INDEX IF NOT EXISTS items_parent ON items(parent_id);";

// Deletes every row that cannot be reached from the root through parent links.
constexpr const char* kDeleteUnreachable =
    "  WITH RECURSIVE reachable(id) AS (\n"
    "    SELECT id FROM items WHERE id='root'\n"
    "    UNION\n"
    "    SELECT child.id FROM items child\n"
    "    JOIN reachable parent ON child.parent_id=parent.id\n"
    "    WHERE child.id <> 'root'\n"
    "  )\n"
    "  DELETE FROM items WHERE id NOT IN (SELECT id FROM reachable);";

constexpr const char* kUpsertStatement =
    "INSERT INTO items(id,parent_id,path,name,is_directory,size,modified_at,etag,content_type) "
    "VALUES(?,?,?,?,?,?,?,?,?) ON CONFLICT(id) DO UPDATE SET parent_id=excluded.parent_id,path=excluded.path,"
    "name=excluded.name,is_directory=excluded.is_directory,size=excluded.size,modified_at=excluded.modified_at,"
    "etag=excluded.etag,content_type=excluded.content_type";

constexpr const char* kDeleteWithChildren = "DELETE FROM items WHERE id=? OR parent_id=?";

// One prepared statement on every path: finalized when made for one use,
// reset (bindings cleared) when it belongs to the store's cache.
class Statement {
public:
    Statement() = default;
    explicit Statement(sqlite3_stmt* cached) : statement_(cached), cached_(true) {}
    ~Statement() {
        if (cached_) {
            sqlite3_reset(statement_);
            sqlite3_clear_bindings(statement_);
        } else {
            sqlite3_finalize(statement_);
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    sqlite3_stmt** out() { return &statement_; }
    sqlite3_stmt* get() const { return statement_; }

private:
    sqlite3_stmt* statement_ = nullptr;
    bool cached_ = false;
};

std::string columnText(sqlite3_stmt* statement, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    const int bytes = sqlite3_column_bytes(statement, column);
    return text ? std::string(text, static_cast<std::size_t>(bytes)) : std::string();
}

// Creates one folder level when missing, readable by its owner only.
void createLevel(const std::filesystem::path& directory) {
    std::error_code error;
    if (std::filesystem::create_directory(directory, error)) {
        std::filesystem::permissions(directory, std::filesystem::perms::owner_all, error);
        if (error) throw posixError(error.value(), "restrict directory " + directory.string());
        return;
    }
    if (error) throw posixError(error.value(), "create directory " + directory.string());
    if (!std::filesystem::is_directory(directory, error)) {
        throw posixError(error ? error.value() : ENOTDIR, "create directory " + directory.string());
    }
}

}  // namespace

struct MappingStore::StatementCache {
    std::unordered_map<std::string, sqlite3_stmt*> statements;
    ~StatementCache() {
        for (auto& entry : statements) sqlite3_finalize(entry.second);
    }
};

sqlite3_stmt* MappingStore::cachedStatement(const std::string& sql) {
    if (!database_) throwMappingError("prepare statement", SQLITE_CANTOPEN);
    auto& statements = statements_->statements;
    if (auto found = statements.find(sql); found != statements.end()) return found->second;
    sqlite3_stmt* statement = nullptr;
    const int result = sqlite3_prepare_v3(database_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
    if (result != SQLITE_OK) {
        sqlite3_finalize(statement);
        throwMappingError("prepare statement", result);
    }
    statements.emplace(sql, statement);
    return statement;
}

template <typename Body>
auto MappingStore::inTransaction(Body&& body) {
    exec("BEGIN IMMEDIATE;");
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            exec("COMMIT;");
        } else {
            auto result = body();
            exec("COMMIT;");
            return result;
        }
    } catch (...) {
        // The first error is the one reported; a failing rollback adds nothing.
        sqlite3_exec(database_, "ROLLBACK;", nullptr, nullptr, nullptr);
        throw;
    }
}

MappingStore::MappingStore(const std::filesystem::path& baseDirectory) : statements_(std::make_unique<StatementCache>()) {
    try {
        open(baseDirectory);
    } catch (...) {
        statements_.reset();
        sqlite3_close(database_);
        database_ = nullptr;
        throw;
    }
}

MappingStore::MappingStore(Unavailable) : statements_(std::make_unique<StatementCache>()) {}

MappingStore::~MappingStore() {
    statements_.reset();  // every statement is finalized before the connection closes
    sqlite3_close(database_);
}

std::unique_ptr<MappingStore> MappingStore::unavailable() {
    return std::unique_ptr<MappingStore>(new MappingStore(Unavailable{}));
}

std::filesystem::path MappingStore::databaseFile(const std::filesystem::path& baseDirectory) {
    return baseDirectory / "Nimbuscrate" / "FileProvider" / "mapping.sqlite3";
}

void MappingStore::open(const std::filesystem::path& baseDirectory) {
    createPrivateDirectories(baseDirectory);
    createLevel(baseDirectory / "Nimbuscrate");
    createLevel(baseDirectory / "Nimbuscrate" / "FileProvider");

    const std::string file = databaseFile(baseDirectory).string();
    // Every use of the connection is under `mutex_`.
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(file.c_str(), &database_, flags, nullptr) != SQLITE_OK) {
        throw DesktopError::invalidResponse();
    }

    // A cache the program can rebuild from the server: in WAL mode a commit
    // needs no sync of its own (a power cut may lose the last ones, never
    // damage the file).
    exec("PRAGMA journal_mode=WAL;");
    exec("PRAGMA synchronous=NORMAL;");
    exec("PRAGMA busy_timeout=5000;");
    exec(kSchemaScript);
    inTransaction([this] {
        upsertItem(RemoteItem::root());
        migrateIfNeeded();
    });
}

void MappingStore::migrateIfNeeded() {
    if (schemaVersion() >= kSchemaVersion) return;
    exec(kDeleteUnreachable);
    directoriesToRefresh_ = identifiers("SELECT id FROM items WHERE is_directory=1 AND id <> 'root'");
    exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";").c_str());
}

void MappingStore::exec(const char* sql) {
    if (!database_) throwMappingError("execute statement", SQLITE_CANTOPEN);
    const int result = sqlite3_exec(database_, sql, nullptr, nullptr, nullptr);
    if (result != SQLITE_OK) throwMappingError("execute statement", result);
}

PlatformError MappingStore::mappingError(const std::string& context, int code) const {
    const std::string message = database_ ? sqlite3_errmsg(database_) : "SQLite database is unavailable";
    return PlatformError(kMappingErrorDomain, code,
                         "Nimbuscrate mapping " + context + " failed (" + std::to_string(code) + "): " + message);
}

void MappingStore::throwMappingError(const std::string& context, int code) const { throw mappingError(context, code); }

namespace {

// Binds text parameters to positions 1, 2, ... as UTF-8 copied by SQLite.
int bindTexts(sqlite3_stmt* statement, const std::vector<std::string>& parameters) {
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        const int result = sqlite3_bind_text64(statement, static_cast<int>(i + 1), parameters[i].data(),
                                               parameters[i].size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        if (result != SQLITE_OK) return result;
    }
    return SQLITE_OK;
}

// The schema forbids NULL in the columns id, parent_id, path, name and etag
// (0, 1, 2, 3 and 7 of a row of every column); only a damaged file holds one.
void checkRequiredColumns(sqlite3_stmt* row) {
    for (const int column : {0, 1, 2, 3, 7}) {
        if (sqlite3_column_type(row, column) == SQLITE_NULL) {
            throw PlatformError(kMappingErrorDomain, SQLITE_CORRUPT,
                                "Nimbuscrate mapping query failed (" + std::to_string(SQLITE_CORRUPT) +
                                    "): a stored row holds NULL in column " + std::to_string(column));
        }
    }
}

}  // namespace

std::vector<RemoteItem> MappingStore::query(const std::string& sql, const std::vector<std::string>& parameters) {
    if (!database_) throwMappingError("prepare statement", SQLITE_CANTOPEN);
    Statement statement;
    int result = sqlite3_prepare_v2(database_, sql.c_str(), -1, statement.out(), nullptr);
    if (result != SQLITE_OK) throwMappingError("prepare statement", result);
    if ((result = bindTexts(statement.get(), parameters)) != SQLITE_OK) throwMappingError("bind parameter", result);

    std::vector<RemoteItem> items;
    while ((result = sqlite3_step(statement.get())) == SQLITE_ROW) {
        sqlite3_stmt* row = statement.get();
        checkRequiredColumns(row);
        RemoteItem item;
        item.id = columnText(row, 0);
        item.parentID = columnText(row, 1);
        item.path = columnText(row, 2);
        item.name = columnText(row, 3);
        item.isDirectory = sqlite3_column_int64(row, 4) != 0;
        item.size = sqlite3_column_int64(row, 5);
        item.modifiedAt = Date::fromUnixSeconds(sqlite3_column_double(row, 6));
        item.etag = columnText(row, 7);
        if (sqlite3_column_type(row, 8) != SQLITE_NULL) item.contentType = columnText(row, 8);
        items.push_back(std::move(item));
    }
    if (result != SQLITE_DONE) throwMappingError("query", result);
    return items;
}

void MappingStore::execute(const std::string& sql, const std::vector<std::string>& parameters,
                           const std::string& context) {
    Statement statement(cachedStatement(sql));
    int result = bindTexts(statement.get(), parameters);
    if (result != SQLITE_OK) throwMappingError("bind parameter", result);
    result = sqlite3_step(statement.get());
    if (result != SQLITE_DONE) throwMappingError(context, result);
}

std::optional<std::string> MappingStore::ownerID(const std::string& path) {
    Statement statement(cachedStatement("SELECT id FROM items WHERE path=?"));
    int result = bindTexts(statement.get(), {normalizeRemotePath(path)});
    if (result != SQLITE_OK) {
        throwMappingError("bind parameter", result);
    }
    result = sqlite3_step(statement.get());
    if (result == SQLITE_ROW) return columnText(statement.get(), 0);
    if (result == SQLITE_DONE) return std::nullopt;
    throwMappingError("resolve path owner", result);
}

int MappingStore::schemaVersion() {
    Statement statement;
    int result = sqlite3_prepare_v2(database_, "PRAGMA user_version", -1, statement.out(), nullptr);
    if (result != SQLITE_OK) throwMappingError("read schema version", result);
    result = sqlite3_step(statement.get());
    if (result != SQLITE_ROW) throwMappingError("read schema version", result);
    return sqlite3_column_int(statement.get(), 0);
}

std::vector<std::string> MappingStore::identifiers(const std::string& sql) {
    Statement statement;
    int result = sqlite3_prepare_v2(database_, sql.c_str(), -1, statement.out(), nullptr);
    if (result != SQLITE_OK) throwMappingError("prepare statement", result);
    std::vector<std::string> ids;
    while ((result = sqlite3_step(statement.get())) == SQLITE_ROW) ids.push_back(columnText(statement.get(), 0));
    if (result != SQLITE_DONE) throwMappingError("read directory identifiers", result);
    return ids;
}

MappingStore::StoredRow MappingStore::StoredRow::of(const RemoteItem& item) {
    return StoredRow{item.parentID, item.path, item.name,  item.isDirectory,
                     item.size,     item.modifiedAt.unixSeconds(), item.etag, item.contentType};
}

std::unordered_map<std::string, MappingStore::StoredRow> MappingStore::storedChildren(const std::string& parentID) {
    Statement statement(cachedStatement(
        "SELECT id,parent_id,path,name,is_directory,size,modified_at,etag,content_type FROM items"
        " WHERE parent_id=? AND id<>?"));
    int result = bindTexts(statement.get(), {parentID, parentID});
    if (result != SQLITE_OK) throwMappingError("bind parameter", result);
    std::unordered_map<std::string, StoredRow> rows;
    sqlite3_stmt* row = statement.get();
    while ((result = sqlite3_step(row)) == SQLITE_ROW) {
        checkRequiredColumns(row);
        StoredRow stored{columnText(row, 1), columnText(row, 2), columnText(row, 3), sqlite3_column_int64(row, 4) != 0,
                         sqlite3_column_int64(row, 5), sqlite3_column_double(row, 6), columnText(row, 7),
                         std::nullopt};
        if (sqlite3_column_type(row, 8) != SQLITE_NULL) stored.contentType = columnText(row, 8);
        // A row damaged otherwise never equals a listed item: it is written again.
        for (const int column : {4, 5, 6}) {
            if (sqlite3_column_type(row, column) == SQLITE_NULL) stored.modifiedAt = std::nan("");
        }
        rows.emplace(columnText(row, 0), std::move(stored));
    }
    if (result != SQLITE_DONE) throwMappingError("query", result);
    return rows;
}

void MappingStore::upsertItem(const RemoteItem& item, std::optional<std::string>* replaced) {
    if (!database_) throwMappingError("prepare statement", SQLITE_CANTOPEN);
    // The root row owns "/": letting another item take that path would move
    // the whole top level under it and delete the root.
    const bool isRoot = item.id == kRootID;
    const std::string normalized = normalizeRemotePath(item.path);
    if (isRoot != (normalized == "/")) {
        throw PlatformError(kMappingErrorDomain, SQLITE_CONSTRAINT,
                            "Nimbuscrate mapping upsert item failed (" + std::to_string(SQLITE_CONSTRAINT) + "): " +
                                (isRoot ? "the root item must have the path /"
                                        : "only the root item may have the path / (item " + item.id + ")"));
    }

    // Most items take a path no other row holds: the write is tried first,
    // and only a clash on the path looks for the row that holds it. (A path
    // not in its normal form is looked up first, as the rows hold it so.)
    const bool normalPath = normalized == item.path;
    if (!normalPath) takePathFrom(item, ownerID(item.path), replaced);

    Statement statement(cachedStatement(kUpsertStatement));
    sqlite3_stmt* insert = statement.get();
    int result = SQLITE_OK;
    const auto bindText = [&](int index, const std::string& text) {
        if (result != SQLITE_OK) return;
        result = sqlite3_bind_text64(insert, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
    };
    bindText(1, item.id);
    bindText(2, item.parentID);
    bindText(3, item.path);
    bindText(4, item.name);
    if (result == SQLITE_OK) result = sqlite3_bind_int(insert, 5, item.isDirectory ? 1 : 0);
    if (result == SQLITE_OK) result = sqlite3_bind_int64(insert, 6, item.size);
    if (result == SQLITE_OK) result = sqlite3_bind_double(insert, 7, item.modifiedAt.unixSeconds());
    bindText(8, item.etag);
    if (result == SQLITE_OK) result = item.contentType ? sqlite3_bind_text64(insert, 9, item.contentType->data(),
                                                                             item.contentType->size(), SQLITE_STATIC,
                                                                             SQLITE_UTF8)
                                                       : sqlite3_bind_null(insert, 9);
    if (result != SQLITE_OK) throwMappingError("bind parameter", result);
    result = sqlite3_step(insert);
    if (result == SQLITE_CONSTRAINT && normalPath) {
        // Taken now: the statements below replace the connection's message.
        const PlatformError failure = mappingError("upsert item", result);
        sqlite3_reset(insert);
        const std::optional<std::string> owner = ownerID(item.path);
        if (!owner || *owner == item.id) throw failure;
        takePathFrom(item, owner, replaced);
        result = sqlite3_step(insert);
    }
    if (result != SQLITE_DONE) throwMappingError("upsert item", result);
}

void MappingStore::takePathFrom(const RemoteItem& item, const std::optional<std::string>& owner,
                                std::optional<std::string>* replaced) {
    if (!owner || *owner == item.id) return;
    execute("UPDATE items SET parent_id=? WHERE parent_id=?", {item.id, *owner}, "reparent path replacement");
    execute("DELETE FROM items WHERE id=?", {*owner}, "remove stale path owner");
    if (replaced) *replaced = owner;
}

std::optional<RemoteItem> MappingStore::firstRow(const std::string& sql, const std::string& parameter) {
    try {
        std::vector<RemoteItem> found = query(sql, {parameter});
        if (found.empty()) return std::nullopt;
        return std::move(found.front());
    } catch (const PlatformError&) {
        return std::nullopt;
    }
}

std::optional<RemoteItem> MappingStore::item(std::string_view id) {
    std::lock_guard lock(mutex_);
    return firstRow("SELECT * FROM items WHERE id=?", std::string(id));
}

std::optional<RemoteItem> MappingStore::itemAtPath(std::string_view path) {
    std::lock_guard lock(mutex_);
    return firstRow("SELECT * FROM items WHERE path=?", normalizeRemotePath(path));
}

void MappingStore::upsert(const RemoteItem& item) {
    std::lock_guard lock(mutex_);
    std::optional<std::string> replaced;
    inTransaction([&] { upsertItem(item, &replaced); });
    std::vector<std::string> written{item.id};
    if (replaced) written.push_back(*replaced);
    noteWritten(written);
}

MappingStore::Listing::Listing(Listing&& other) noexcept
    : store_(std::exchange(other.store_, nullptr)), start_(other.start_) {}

MappingStore::Listing::~Listing() {
    if (store_) store_->endListing(start_);
}

MappingStore::Listing MappingStore::beginListing() {
    std::lock_guard lock(mutex_);
    listings_.insert(writes_);
    return Listing(*this, writes_);
}

void MappingStore::endListing(std::uint64_t start) {
    std::lock_guard lock(mutex_);
    listings_.erase(listings_.find(start));
    if (listings_.empty()) {
        writtenAt_.clear();
        return;
    }
    // What the oldest listing under way began after is all any of them needs.
    const std::uint64_t oldest = *listings_.begin();
    std::erase_if(writtenAt_, [&](const auto& entry) { return entry.second <= oldest; });
}

void MappingStore::noteWritten(const std::vector<std::string>& ids) {
    ++writes_;
    if (listings_.empty()) return;
    for (const auto& id : ids) writtenAt_[id] = writes_;
}

std::set<std::string> MappingStore::writtenSince(const Listing& listing) const {
    std::lock_guard lock(mutex_);
    return writtenSinceLocked(listing.start_);
}

std::set<std::string> MappingStore::writtenSinceLocked(std::uint64_t start) const {
    std::set<std::string> ids;
    for (const auto& [id, at] : writtenAt_) {
        if (at > start) ids.insert(id);
    }
    return ids;
}

std::vector<std::string> MappingStore::replaceChildren(const std::string& parentID,
                                                       const std::vector<RemoteItem>& children,
                                                       const Listing* listing) {
    std::lock_guard lock(mutex_);
    // Read under the same lock as the writes, so that no write slips in between.
    const std::set<std::string> newer = listing ? writtenSinceLocked(listing->start_) : std::set<std::string>();
    if (newer.count(parentID)) return {};
    return inTransaction([&] {
        // The stored children as stored, column by column: a listed child
        // whose row holds exactly what it would write is not written again.
        std::unordered_map<std::string, StoredRow> stored = storedChildren(parentID);
        std::set<std::string> removed;
        for (const auto& [id, row] : stored) removed.insert(id);
        for (const RemoteItem& child : children) {
            if (newer.count(child.id)) continue;
            auto found = stored.find(child.id);
            if (found == stored.end() || !(found->second == StoredRow::of(child))) upsertItem(child);
        }
        for (const RemoteItem& child : children) removed.erase(child.id);
        for (const std::string& id : newer) removed.erase(id);
        for (const std::string& id : removed) execute(kDeleteWithChildren, {id, id}, "delete item");
        return std::vector<std::string>(removed.begin(), removed.end());
    });
}

void MappingStore::deleteItem(const std::string& id) {
    std::lock_guard lock(mutex_);
    if (database_ && id == kRootID) {
        // Deleting the root would drop it together with the whole top level.
        throw PlatformError(kMappingErrorDomain, SQLITE_CONSTRAINT,
                            "Nimbuscrate mapping delete item failed (" + std::to_string(SQLITE_CONSTRAINT) +
                                "): the root item cannot be deleted");
    }
    inTransaction([&] { execute(kDeleteWithChildren, {id, id}, "delete item"); });
    noteWritten({id});
}

std::vector<RemoteItem> MappingStore::rows(const std::string& sql, const std::vector<std::string>& parameters) {
    std::lock_guard lock(mutex_);
    try {
        return query(sql, parameters);
    } catch (const PlatformError&) {
        return {};
    }
}

std::vector<std::string> MappingStore::directoriesToRefreshAfterMigration() const {
    std::lock_guard lock(mutex_);
    return directoriesToRefresh_;
}

}  // namespace nimbuscrate
