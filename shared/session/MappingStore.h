#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/core/PlatformError.h"
#include "shared/session/RemoteItem.h"

struct sqlite3;
struct sqlite3_stmt;

namespace nimbuscrate {

// Error domain of every mapping-database failure (code: the SQLite result code).
inline constexpr const char* kMappingErrorDomain = "app.nimbuscrate.mapping.sqlite";

// The program's local memory of the remote tree: one SQLite table of
// RemoteItem rows keyed by identifier, with each item's parent, path and
// version data. Each program keeps its own file, "mapping.sqlite3" in
// "Nimbuscrate/FileProvider" under its base directory.
//
// Every public operation runs as one job on the store's serial section (a
// mutex), so the statements of the process never interleave; operations may
// be called from any thread. Reads never fail outward (absent or empty on
// any error); writes run in one "BEGIN IMMEDIATE" transaction each and either
// take effect completely or throw PlatformError in kMappingErrorDomain and
// leave the database as it was.
class MappingStore {
public:
    // Opens (creating when missing) the database under baseDirectory, makes
    // sure the root row exists and migrates an older schema to version 5.
    // Throws PlatformError (POSIX domain) when the folders cannot be created,
    // DesktopError::invalidResponse when SQLite cannot open the file, and a
    // mapping error when a set-up statement fails.
    explicit MappingStore(const std::filesystem::path& baseDirectory);
    ~MappingStore();
    MappingStore(const MappingStore&) = delete;
    MappingStore& operator=(const MappingStore&) = delete;

    // The process-wide store, opened on first use in the program's container
    // (then its cache folder, then a private folder in the temporary
    // directory). When none of them opens, a store without a database: every
    // read answers absent or empty, every write fails with a mapping error
    // ending in "SQLite database is unavailable".
    static MappingStore& shared();
    // A store without a database (what shared() falls back to).
    static std::unique_ptr<MappingStore> unavailable();

    // Where the database file lives under a base directory.
    static std::filesystem::path databaseFile(const std::filesystem::path& baseDirectory);

    // The stored item with this identifier; absent when none, or on any error.
    std::optional<RemoteItem> item(std::string_view id);
    // The stored item at this path (normalised first); absent when none, or on any error.
    std::optional<RemoteItem> itemAtPath(std::string_view path);

    // Inserts or updates one item. When its path belonged to a row with another
    // identifier, that row's children move under the new identifier and the
    // row is removed. Only the root item may hold the path "/", and the root
    // item only that path.
    void upsert(const RemoteItem& item);

    // A listing under way. A listing shows the server as it was when it was
    // read; an item created, changed, moved or deleted here (upsert,
    // deleteItem) after it began is newer than what it shows, and storing
    // the listing must not undo that write. Ends when destroyed.
    class Listing {
    public:
        Listing(Listing&& other) noexcept;
        Listing& operator=(Listing&&) = delete;
        ~Listing();

    private:
        friend class MappingStore;
        Listing(MappingStore& store, std::uint64_t start) : store_(&store), start_(start) {}
        MappingStore* store_;
        std::uint64_t start_;
    };
    // Begins a listing: call before the server is asked.
    [[nodiscard]] Listing beginListing();
    // The identifiers upserted or deleted one by one since the listing began.
    std::set<std::string> writtenSince(const Listing& listing) const;

    // Stores the listed children of a folder and removes the stored children
    // that are no longer listed, each with its own direct children, in one
    // transaction. A listed child whose stored row already holds every
    // column it would write is not written again. Returns the removed
    // identifiers (in no particular order). The folder's own row is not
    // written.
    // With the listing it comes from, the items written since it began are
    // neither written nor removed, and nothing at all is stored when the
    // folder itself was written since (its listed paths may be gone).
    std::vector<std::string> replaceChildren(const std::string& parentID, const std::vector<RemoteItem>& children,
                                             const Listing* listing = nullptr);

    // Removes the item and the rows whose parent it is.
    void deleteItem(const std::string& id);

    // Rows of a "SELECT *"-style statement over items, with text parameters
    // bound in order; empty on any error.
    std::vector<RemoteItem> rows(const std::string& sql, const std::vector<std::string>& parameters);

    // The folders to enumerate again because a schema migration ran when this
    // store opened; empty when no migration ran.
    std::vector<std::string> directoriesToRefreshAfterMigration() const;

    // The schema version this store works with.
    static constexpr int kSchemaVersion = 5;

private:
    struct Unavailable {};
    explicit MappingStore(Unavailable);

    // The operations below run inside the serial section.
    void open(const std::filesystem::path& baseDirectory);
    void migrateIfNeeded();
    // Sets replaced to the item whose path this one took, if any.
    void upsertItem(const RemoteItem& item, std::optional<std::string>* replaced = nullptr);
    // Moves the children of `owner`, the row that holds the item's path, to
    // the item and deletes that row (nothing when there is none, or it is the item).
    void takePathFrom(const RemoteItem& item, const std::optional<std::string>& owner,
                      std::optional<std::string>* replaced);
    // A row's columns as stored (modified_at in Unix seconds, as written).
    struct StoredRow {
        std::string parentID, path, name;
        bool isDirectory = false;
        std::int64_t size = 0;
        double modifiedAt = 0;
        std::string etag;
        std::optional<std::string> contentType;
        bool operator==(const StoredRow&) const = default;
        static StoredRow of(const RemoteItem& item);
    };
    // The stored children of a folder by identifier.
    std::unordered_map<std::string, StoredRow> storedChildren(const std::string& parentID);
    std::vector<RemoteItem> query(const std::string& sql, const std::vector<std::string>& parameters);
    void execute(const std::string& sql, const std::vector<std::string>& parameters, const std::string& context);
    void exec(const char* sql);
    std::optional<std::string> ownerID(const std::string& path);
    int schemaVersion();
    std::vector<std::string> identifiers(const std::string& sql);
    std::optional<RemoteItem> firstRow(const std::string& sql, const std::string& parameter);
    // A prepared statement kept for the life of the connection (the statements
    // run once per stored row); reset after each use.
    sqlite3_stmt* cachedStatement(const std::string& sql);

    // Runs body between "BEGIN IMMEDIATE;" and "COMMIT;", rolling back on failure.
    template <typename Body>
    auto inTransaction(Body&& body);

    PlatformError mappingError(const std::string& context, int code) const;
    [[noreturn]] void throwMappingError(const std::string& context, int code) const;

    struct StatementCache;

    void endListing(std::uint64_t start);
    std::set<std::string> writtenSinceLocked(std::uint64_t start) const;
    // Notes a single write of these items for the listings under way.
    void noteWritten(const std::vector<std::string>& ids);

    mutable std::mutex mutex_;
    // Single writes counted, and when each item was last written while a
    // listing was under way (forgotten once no listing needs them).
    std::uint64_t writes_ = 0;
    std::multiset<std::uint64_t> listings_;
    std::unordered_map<std::string, std::uint64_t> writtenAt_;
    sqlite3* database_ = nullptr;
    std::unique_ptr<StatementCache> statements_;
    std::vector<std::string> directoriesToRefresh_;
};

}  // namespace nimbuscrate
