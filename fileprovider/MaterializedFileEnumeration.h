#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

#include "platform/fileprovider/EnumerationObserver.h"
#include "platform/fileprovider/Enumerator.h"

namespace nimbuscrate {

// Collects the identifiers of the files that have a local copy, by reading
// the system's enumerator of materialized items page by page to the end, and
// hands the whole list (or the enumerator's error) to its owner exactly once.
// The root, the Trash and folders are skipped; an item without a content type
// counts as a file.
//
// The owner makes it with create(), sets keepAlive() to the object itself and
// asks the enumerator for the first page with the object as observer (start()
// does all three). The object holds itself until it has finished.
class MaterializedFileEnumeration final : public fp::EnumerationObserver,
                                          public std::enable_shared_from_this<MaterializedFileEnumeration> {
public:
    using Result = std::variant<std::vector<fp::ItemId>, fp::Error>;
    using Completion = std::function<void(Result)>;

    static std::shared_ptr<MaterializedFileEnumeration> create(fp::EnumeratorPtr enumerator, Completion completion);
    // Creates one, makes it hold itself and asks for the first page.
    static std::shared_ptr<MaterializedFileEnumeration> start(fp::EnumeratorPtr enumerator, Completion completion,
                                                              fp::Page firstPage = fp::kInitialPage);

    MaterializedFileEnumeration(fp::EnumeratorPtr enumerator, Completion completion);

    void setKeepAlive(std::shared_ptr<MaterializedFileEnumeration> self);
    bool isKeepingAlive() const;
    bool didFinish() const;

    void didEnumerate(std::vector<fp::ItemPtr> items) override;
    void finishUpTo(std::optional<fp::Page> nextPage) override;
    void finishWithError(fp::Error error) override;

    // True for an item whose identifier is collected.
    static bool collectMaterializedIdentifier(const fp::Item& item);

private:
    void finish(Result result);

    fp::EnumeratorPtr enumerator_;
    Completion completion_;
    mutable std::mutex mutex_;
    std::vector<fp::ItemId> identifiers_;
    std::shared_ptr<MaterializedFileEnumeration> keepAlive_;
    bool didFinish_ = false;
};

}  // namespace nimbuscrate
