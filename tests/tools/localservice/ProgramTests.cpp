// Seed files and the nimbuscrate-localservice program.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <vips/vips8>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "tests/tools/localservice/MultistatusReader.h"
#include "tests/tools/localservice/ServiceClient.h"

namespace nimbuscrate::localservice::testing {
namespace {

const std::string kDemoDrive = "demo-nimbuscrate";
const char* kXml = "Content-Type: application/xml; charset=utf-8";

std::filesystem::path temporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "localservice-test-XXXXXX").string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    return pattern;
}

TEST(localservice_seed, DemoSeedHoldsFoldersTextImagesAndABlob) {
    LocalService service({{}, 0, std::filesystem::path(LOCALSERVICE_DEMO_SEED)});
    auto drives = service.drives();
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0].driveType, "personal");
    EXPECT_EQ(drives[1].id, kDemoDrive);

    auto root = service.driveDirectory(kDemoDrive);
    EXPECT_TRUE(std::filesystem::is_regular_file(root / "Documents" / "Welcome.txt"));
    EXPECT_TRUE(std::filesystem::is_directory(root / "Documents" / "Notes"));
    EXPECT_TRUE(std::filesystem::is_regular_file(root / "Documents" / "._Welcome.txt"));
    bool blob = false;
    for (const auto& entry : std::filesystem::directory_iterator(root / "Documents")) {
        blob = blob || entry.path().extension() == ".nbenc";
    }
    EXPECT_TRUE(blob);
    ASSERT_EQ(VIPS_INIT("localservice_tests"), 0);
    auto photo = vips::VImage::new_from_file((root / "Photos" / "Sunset.jpg").c_str());
    EXPECT_EQ(photo.width(), 1280);
    EXPECT_EQ(photo.height(), 853);
    EXPECT_NE(std::string(vips_foreign_find_load((root / "Photos" / "Badge.png").c_str())).find("Png"), std::string::npos);
}

TEST(localservice_seed, Base64URLItemsHoldTheirBytes) {
    auto directory = temporaryDirectory();
    // "-" and "_" are the last two digits of the alphabet; no padding.
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"AA", std::string(1, '\0')}, {"_-8", "\xff\xef"}, {"aGVsbG8", "hello"}, {"AAEC", std::string("\x00\x01\x02", 3)},
    };
    std::string items;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        items += std::string(i ? "," : "") + R"({"path": "/b)" + std::to_string(i) + R"(", "base64url": ")" +
                 cases[i].first + "\"}";
    }
    auto seed = directory / "seed.json";
    std::ofstream(seed) << R"({"drives": [{"id": "a", "name": "x", "items": [)" + items + "]}]}";
    {
        LocalService service({directory / "data", 0, seed});
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            std::ifstream in(service.driveDirectory("a") / ("b" + std::to_string(i)), std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), cases[i].second) << cases[i].first;
        }
    }
    std::filesystem::remove_all(directory);
}

TEST(localservice_seed, MalformedSeedsAreRefused) {
    auto directory = temporaryDirectory();
    const std::pair<const char*, std::string> cases[] = {
        {"not JSON", "{"},
        {"no drives", R"({"accounts": []})"},
        {"drive without id", R"({"drives": [{"name": "x"}]})"},
        {"bad drive id", R"({"drives": [{"id": "../x", "name": "x"}]})"},
        {"escaping item", R"({"drives": [{"id": "a", "name": "x", "items": [{"path": "/../../x", "text": "x"}]}]})"},
        {"relative item", R"({"drives": [{"id": "a", "name": "x", "items": [{"path": "x", "text": "x"}]}]})"},
        {"item of no kind", R"({"drives": [{"id": "a", "name": "x", "items": [{"path": "/x"}]}]})"},
        {"image too large", R"({"drives": [{"id": "a", "name": "x", "items": [{"path": "/x.png", "image": {"width": 99999, "height": 1}}]}]})"},
        {"base64url with a padding sign", R"({"drives": [{"id": "a", "name": "x", "items": [{"path": "/x", "base64url": "AA=="}]}]})"},
        {"base64url with a standard sign", R"({"drives": [{"id": "a", "name": "x", "items": [{"path": "/x", "base64url": "a+b/"}]}]})"},
        {"base64url of a bad length", R"({"drives": [{"id": "a", "name": "x", "items": [{"path": "/x", "base64url": "AAAAA"}]}]})"},
    };
    for (const auto& [what, text] : cases) {
        auto seed = directory / "seed.json";
        std::ofstream(seed) << text;
        EXPECT_THROW(LocalService({directory / "data", 0, seed}), std::runtime_error) << what;
    }
    EXPECT_THROW(LocalService({directory / "data", 0, directory / "missing.json"}), std::runtime_error);
    std::filesystem::remove_all(directory);
}

// Runs the program and reads its first line of output.
class RunningProgram {
public:
    explicit RunningProgram(std::vector<std::string> arguments) {
        int output[2];
        EXPECT_EQ(::pipe(output), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(output[1], STDOUT_FILENO);
            ::close(output[0]);
            ::close(output[1]);
            std::vector<char*> argv;
            std::string program = LOCALSERVICE_PROGRAM;
            argv.push_back(program.data());
            for (auto& argument : arguments) argv.push_back(argument.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(output[1]);
        std::string line;
        char c;
        while (::read(output[0], &c, 1) == 1 && c != '\n') line += c;
        ::close(output[0]);
        ready = nlohmann::json::parse(line, nullptr, false);
    }
    ~RunningProgram() {
        if (pid_ > 0 && !stopped_) stop();
    }
    int stop() {
        stopped_ = true;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        return status;
    }

    nlohmann::json ready;

private:
    pid_t pid_ = -1;
    bool stopped_ = false;
};

TEST(localservice_program, StartsWithTheDemoAccountAndStopsOnSigterm) {
    auto directory = temporaryDirectory();
    auto sessionFile = directory / "session.json";
    RunningProgram program({"--data-dir", (directory / "data").string(), "--write-session", sessionFile.string(),
                            "--rotate-refresh-tokens"});
    ASSERT_TRUE(program.ready.is_object()) << program.ready.dump();
    std::string address = program.ready["address"];
    EXPECT_EQ(address.rfind("127.0.0.1:", 0), 0u);
    std::string caFile = program.ready["caFile"];
    EXPECT_TRUE(std::filesystem::exists(caFile));

    std::ifstream in(sessionFile);
    auto session = nlohmann::json::parse(in);
    std::string accessToken = session["tokens"]["accessToken"];
    std::string refreshToken = session["tokens"]["refreshToken"];
    EXPECT_TRUE(session["tokens"]["expiresAt"].is_number());
    std::string sessionID = session["sessionID"];
    EXPECT_EQ(sessionID.size(), 36u);
    EXPECT_EQ(session["drive"]["id"], kDemoDrive);
    std::string root = session["drive"]["webDAVURL"];

    // The written session works against the running program.
    auto port = static_cast<std::uint16_t>(std::stoi(address.substr(address.find(':') + 1)));
    CURL* curl = curl_easy_init();
    std::string body;
    curl_slist* connectTo = curl_slist_append(nullptr, ("::127.0.0.1:" + std::to_string(port)).c_str());
    curl_slist* headers = curl_slist_append(nullptr, ("Authorization: Bearer " + accessToken).c_str());
    headers = curl_slist_append(headers, "Depth: 1");
    headers = curl_slist_append(headers, kXml);
    curl_easy_setopt(curl, CURLOPT_URL, (root + "/Documents").c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PROPFIND");
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connectTo);
    curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* user) {
        static_cast<std::string*>(user)->append(data, size * count);
        return size * count;
    });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    EXPECT_EQ(curl_easy_perform(curl), CURLE_OK);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    EXPECT_EQ(status, 207);
    auto entries = readMultistatus(body);
    ASSERT_TRUE(entries.has_value());
    EXPECT_EQ(entries->size(), 5u);  // the folder, Notes, Welcome.txt, ._Welcome.txt and a blob

    // Refresh tokens rotate when asked.
    body.clear();
    std::string form = "client_id=nimbuscrate-desktop&grant_type=refresh_token&refresh_token=" + refreshToken;
    curl_slist* formHeaders = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
    curl_easy_setopt(curl, CURLOPT_URL, ("https://" + identityHost() + "/realms/nimbuscrate/protocol/openid-connect/token").c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "POST");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, formHeaders);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
    for (long expected : {200L, 400L}) {
        EXPECT_EQ(curl_easy_perform(curl), CURLE_OK);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        EXPECT_EQ(status, expected);
    }
    curl_slist_free_all(formHeaders);
    curl_slist_free_all(headers);
    curl_slist_free_all(connectTo);
    curl_easy_cleanup(curl);

    int exit = program.stop();
    EXPECT_TRUE(WIFEXITED(exit));
    EXPECT_EQ(WEXITSTATUS(exit), 0);
    std::filesystem::remove_all(directory);
}

TEST(localservice_program, RefusesBadArguments) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--port"}, {"--port", "x"}, {"--port", "70000"}, {"--frobnicate"}}) {
        pid_t pid = ::fork();
        if (pid == 0) {
            std::vector<char*> argv;
            std::string program = LOCALSERVICE_PROGRAM;
            argv.push_back(program.data());
            auto copy = arguments;
            for (auto& argument : copy) argv.push_back(argument.data());
            argv.push_back(nullptr);
            int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, STDERR_FILENO);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 2) << arguments.front();
    }
}

}  // namespace
}  // namespace nimbuscrate::localservice::testing
