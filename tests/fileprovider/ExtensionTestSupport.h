#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "fileprovider/FileProviderExtension.h"
#include "platform/defaults/Defaults.h"
#include "platform/fileprovider/testing/ExtensionHarness.h"
#include "shared/session/MappingStore.h"
#include "shared/session/UploadActivityStore.h"
#include "tests/fileprovider/FakeEncryptedDriveService.h"
#include "tests/fileprovider/FakeFileServer.h"
#include "tests/support/Eventually.h"

namespace nimbuscrate::testing {

inline std::filesystem::path makeTemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nc-extension-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

inline fp::Bytes bytesOf(const std::string& text) { return fp::Bytes(text.begin(), text.end()); }
inline std::string textOf(const fp::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

inline RemoteItem fileItem(const std::string& id, const std::string& parentID, const std::string& path,
                           std::optional<std::string> contentType = std::nullopt) {
    return RemoteItem{id, parentID, path, path.substr(path.find_last_of('/') + 1), false, 42,
                      Date::fromUnixSeconds(1'600'000'000), "etag-" + id, std::move(contentType)};
}

inline RemoteItem folderItem(const std::string& id, const std::string& parentID, const std::string& path) {
    return RemoteItem{id, parentID, path, path.substr(path.find_last_of('/') + 1), true, 0,
                      Date::fromUnixSeconds(1'600'000'000), "etag-" + id, std::nullopt};
}

// A template as the system hands it to create or modify.
struct TemplateSpec {
    fp::ItemId identifier = "new";
    fp::ItemId parent = fp::kRootContainer;
    std::string filename = "new.txt";
    std::optional<fp::ContentType> contentType = fp::ContentType::data();
    fp::Provided<Date> modified;
    fp::Provided<Date> created;
};

inline fp::ItemPtr makeTemplate(const TemplateSpec& spec) {
    fp::ItemProperties properties;
    properties.identifier = spec.identifier;
    properties.parent = spec.parent;
    properties.filename = spec.filename;
    properties.contentType = spec.contentType;
    properties.contentModificationDate = spec.modified;
    properties.creationDate = spec.created;
    return fp::ItemSnapshot::make(properties);
}

// The system's view of a stored item, changed as the system would change it.
inline fp::ItemPtr systemItem(const RemoteItem& stored, std::optional<std::string> newName = std::nullopt,
                              std::optional<fp::ItemId> newParent = std::nullopt) {
    TemplateSpec spec;
    spec.identifier = stored.id;
    spec.parent = newParent.value_or(stored.parentID == "root" ? fp::kRootContainer : stored.parentID);
    spec.filename = newName.value_or(stored.name);
    spec.contentType = stored.isDirectory ? fp::ContentType::folder() : fp::ContentType::data();
    return makeTemplate(spec);
}

// One extension over a fresh mapping database, the fake file server and the
// fake encryption seam, played by the harness.
class ExtensionTest : public ::testing::Test {
public:
    void SetUp() override {
        directory_ = makeTemporaryDirectory();
        defaults_ = std::make_unique<Defaults>(directory_ / "group.json");
        uploads_ = std::make_shared<UploadActivityStore>(*defaults_);
        mapping_ = std::make_unique<MappingStore>(directory_ / "base");
        server_ = std::make_shared<FakeFileServer>(directory_ / "server");
        encryption_ = std::make_shared<FakeEncryptedDriveService>(uploads_);
    }

    void TearDown() override {
        harness_.reset();
        mapping_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    // Makes the extension (once per test, after the test set up its store).
    void start(bool withManager = true) {
        FileProviderExtension::Services services{server_, encryption_, mapping_.get(), uploads_};
        fp::testing::ExtensionHarness::Options options;
        options.withManager = withManager;
        harness_ = std::make_unique<fp::testing::ExtensionHarness>(
            [this, services](fp::ExtensionEnvironment environment) -> fp::ExtensionPtr {
                auto made = FileProviderExtension::make(std::move(environment), services);
                extension_ = made.get();
                return made;
            },
            options);
    }

    fp::testing::ExtensionHarness& harness() {
        if (!harness_) start();
        return *harness_;
    }
    FileProviderExtension& extension() {
        harness();
        return *extension_;
    }

    void store(const RemoteItem& item) { mapping_->upsert(item); }

    // A local file with contents, for creates and modifications.
    std::filesystem::path localFile(const std::string& name, const std::string& contents = "hello") {
        auto file = directory_ / "local" / name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << contents;
        return file;
    }

    void expectDrained() { EXPECT_THAT(harness().drain(), ::testing::IsEmpty()); }

    std::filesystem::path directory_;
    std::unique_ptr<Defaults> defaults_;
    std::shared_ptr<UploadActivityStore> uploads_;
    std::unique_ptr<MappingStore> mapping_;
    std::shared_ptr<FakeFileServer> server_;
    std::shared_ptr<FakeEncryptedDriveService> encryption_;
    std::unique_ptr<fp::testing::ExtensionHarness> harness_;
    FileProviderExtension* extension_ = nullptr;
};

}  // namespace nimbuscrate::testing
