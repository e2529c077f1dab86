#include "fileprovider/MaterializedFileEnumeration.h"

namespace nimbuscrate {

std::shared_ptr<MaterializedFileEnumeration> MaterializedFileEnumeration::create(fp::EnumeratorPtr enumerator,
                                                                                 Completion completion) {
    return std::make_shared<MaterializedFileEnumeration>(std::move(enumerator), std::move(completion));
}

std::shared_ptr<MaterializedFileEnumeration> MaterializedFileEnumeration::start(fp::EnumeratorPtr enumerator,
                                                                                Completion completion,
                                                                                fp::Page firstPage) {
    auto observer = create(enumerator, std::move(completion));
    observer->setKeepAlive(observer);
    enumerator->enumerateItems(observer, std::move(firstPage));
    return observer;
}

MaterializedFileEnumeration::MaterializedFileEnumeration(fp::EnumeratorPtr enumerator, Completion completion)
    : enumerator_(std::move(enumerator)), completion_(std::move(completion)) {}

void MaterializedFileEnumeration::setKeepAlive(std::shared_ptr<MaterializedFileEnumeration> self) {
    std::lock_guard lock(mutex_);
    keepAlive_ = std::move(self);
}

bool MaterializedFileEnumeration::isKeepingAlive() const {
    std::lock_guard lock(mutex_);
    return keepAlive_ != nullptr;
}

bool MaterializedFileEnumeration::didFinish() const {
    std::lock_guard lock(mutex_);
    return didFinish_;
}

bool MaterializedFileEnumeration::collectMaterializedIdentifier(const fp::Item& item) {
    auto identifier = item.itemIdentifier();
    if (identifier == fp::kRootContainer || identifier == fp::kTrashContainer) return false;
    return !item.isFolder();
}

void MaterializedFileEnumeration::didEnumerate(std::vector<fp::ItemPtr> items) {
    std::vector<fp::ItemId> page;
    for (const auto& item : items) {
        if (item && collectMaterializedIdentifier(*item)) page.push_back(item->itemIdentifier());
    }
    std::lock_guard lock(mutex_);
    identifiers_.insert(identifiers_.end(), page.begin(), page.end());
}

void MaterializedFileEnumeration::finishUpTo(std::optional<fp::Page> nextPage) {
    if (nextPage) {
        enumerator_->enumerateItems(shared_from_this(), std::move(*nextPage));
        return;
    }
    std::vector<fp::ItemId> identifiers;
    {
        std::lock_guard lock(mutex_);
        if (didFinish_) return;
        identifiers = identifiers_;
    }
    finish(std::move(identifiers));
}

void MaterializedFileEnumeration::finishWithError(fp::Error error) { finish(std::move(error)); }

void MaterializedFileEnumeration::finish(Result result) {
    // Holds the object for the length of this call: clearing keepAlive may
    // drop the last reference, and the object must not go while it runs.
    std::shared_ptr<MaterializedFileEnumeration> self;
    {
        std::lock_guard lock(mutex_);
        if (didFinish_) return;
        didFinish_ = true;
        self = keepAlive_;
    }
    enumerator_->invalidate();
    if (completion_) completion_(std::move(result));
    std::lock_guard lock(mutex_);
    keepAlive_.reset();
    // `self` is released on return, after the last use of any member.
}

}  // namespace nimbuscrate
