#include "platform/core/DataPaths.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace nimbuscrate {
namespace {

// Sets or clears one environment variable for the life of the object.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedVariable() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(DataPaths, RootFollowsTheEnvironmentAndFallsBackToThePasswordEntry) {
    const passwd* entry = ::getpwuid(::geteuid());
    ASSERT_NE(entry, nullptr);
    const std::filesystem::path accountHome = entry->pw_dir;
    struct Case {
        std::optional<std::string> xdg, home;
        std::filesystem::path expected;
    };
    const Case cases[] = {
        {"/data/xdg", "/home/someone", "/data/xdg/nimbuscrate"},
        {std::nullopt, "/home/someone", "/home/someone/.local/share/nimbuscrate"},
        // Relative values are not usable: the next source is taken, never "/tmp".
        {"relative/xdg", "/home/someone", "/home/someone/.local/share/nimbuscrate"},
        {std::nullopt, std::nullopt, accountHome / ".local/share/nimbuscrate"},
        {std::nullopt, "", accountHome / ".local/share/nimbuscrate"},
        {std::nullopt, "relative/home", accountHome / ".local/share/nimbuscrate"},
    };
    for (const auto& c : cases) {
        ScopedVariable xdg("XDG_DATA_HOME", c.xdg);
        ScopedVariable home("HOME", c.home);
        EXPECT_EQ(dataRoot(), c.expected) << c.xdg.value_or("(unset)") << " " << c.home.value_or("(unset)");
        EXPECT_EQ(sharedDataDirectory(), c.expected / "shared");
    }
}

}  // namespace
}  // namespace nimbuscrate
