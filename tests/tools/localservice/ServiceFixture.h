#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "tests/tools/localservice/ServiceClient.h"
#include "tools/localservice/LocalService.h"

namespace nimbuscrate::localservice::testing {

// A running service with one drive "d1" and a live token set.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        service = std::make_unique<LocalService>(LocalService::Options{});
        service->addDrive({"d1", "Nimbuscrate Team", std::string("project"), ""});
        tokens = service->issueTokens();
        client = std::make_unique<ServiceClient>(*service);
    }

    std::string bearer() const { return "Authorization: Bearer " + tokens.accessToken; }
    static std::string davUrl(const std::string& path) { return webUrl("/dav/spaces/d1" + path); }
    std::filesystem::path onDisk(const std::string& path) const { return service->driveDirectory("d1") / path; }

    void writeFile(const std::string& path, const std::string& contents) const {
        auto file = onDisk(path);
        std::filesystem::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary);
        out << contents;
    }
    std::string readFile(const std::string& path) const {
        std::ifstream in(onDisk(path), std::ios::binary);
        std::stringstream contents;
        contents << in.rdbuf();
        return contents.str();
    }

    std::unique_ptr<LocalService> service;
    IssuedTokens tokens;
    std::unique_ptr<ServiceClient> client;
};

}  // namespace nimbuscrate::localservice::testing
