#include "platform/fileprovider/ContentType.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nimbuscrate::fp {
namespace {

TEST(FileProviderContentType, ExtensionsAndMimeTypesResolveToConformingTypes) {
    struct Case {
        std::string extension;
        std::optional<ContentType> conformsTo;  // none: not registered
        bool image;
        bool movie;
    };
    std::vector<Case> cases = {
        {"jpg", ContentType::image(), true, false},  {"JPEG", ContentType::image(), true, false},
        {"png", ContentType::image(), true, false},  {"mov", ContentType::movie(), false, true},
        {"mp4", ContentType::movie(), false, true},  {"pdf", ContentType::pdf(), false, false},
        {"txt", ContentType::text(), false, false},  {"mp3", ContentType::audio(), false, false},
        {"zzz-unknown", std::nullopt, false, false}, {"", std::nullopt, false, false},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.extension);
        auto type = ContentType::fromFilenameExtension(row.extension);
        ASSERT_EQ(type.has_value(), row.conformsTo.has_value());
        if (!type) continue;
        EXPECT_TRUE(type->conformsTo(*row.conformsTo));
        EXPECT_TRUE(type->conformsTo(ContentType::data()));
        EXPECT_TRUE(type->conformsTo(ContentType::item()));
        EXPECT_FALSE(type->conformsTo(ContentType::folder()));
        EXPECT_EQ(type->conformsTo(ContentType::image()), row.image);
        EXPECT_EQ(type->conformsTo(ContentType::movie()), row.movie);
    }
}

TEST(FileProviderContentType, MimeTypesIgnoreParametersAndCase) {
    EXPECT_EQ(ContentType::fromMimeType("application/pdf"), ContentType::pdf());
    EXPECT_EQ(ContentType::fromMimeType("Application/PDF; charset=binary"), ContentType::pdf());
    EXPECT_TRUE(ContentType::fromMimeType("video/quicktime")->conformsTo(ContentType::movie()));
    EXPECT_FALSE(ContentType::fromMimeType("application/x-never-heard-of").has_value());
    EXPECT_FALSE(ContentType::fromMimeType("").has_value());
}

TEST(FileProviderContentType, FolderIsNotDataAndUnknownTypesConformOnlyToThemselves) {
    EXPECT_TRUE(ContentType::folder().conformsTo(ContentType::item()));
    EXPECT_FALSE(ContentType::folder().conformsTo(ContentType::data()));
    auto unknown = ContentType::withIdentifier("x.unknown");
    EXPECT_FALSE(unknown.isRegistered());
    EXPECT_TRUE(unknown.conformsTo(unknown));
    EXPECT_FALSE(unknown.conformsTo(ContentType::data()));
}

TEST(FileProviderContentType, PathExtensionIsTheTextAfterTheLastDotOfTheLastComponent) {
    struct Case {
        std::string name, extension;
    };
    for (const auto& row : std::vector<Case>{{"report", ""},
                                             {"report.pdf", "pdf"},
                                             {"archive.tar.gz", "gz"},
                                             {".hidden", ""},
                                             {"dir.d/file", ""},
                                             {"name.", ""},
                                             {"photo.JPG", "JPG"}}) {
        EXPECT_EQ(pathExtension(row.name), row.extension) << row.name;
    }
}

}  // namespace
}  // namespace nimbuscrate::fp
