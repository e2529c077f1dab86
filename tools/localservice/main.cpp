// nimbuscrate-localservice: runs the local service with the demo account
// until SIGTERM or SIGINT. Prints one JSON line with its address and CA file.
//
//   nimbuscrate-localservice [--port N] [--data-dir DIR] [--seed FILE]
//                            [--write-session FILE] [--rotate-refresh-tokens]

#include <openssl/rand.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>

#include "tools/localservice/LocalService.h"

using nimbuscrate::localservice::Drive;
using nimbuscrate::localservice::LocalService;

namespace {

int usage(const char* message) {
    std::cerr << "nimbuscrate-localservice: " << message << "\n"
              << "usage: nimbuscrate-localservice [--port N] [--data-dir DIR] [--seed FILE]\n"
              << "                                [--write-session FILE] [--rotate-refresh-tokens]\n";
    return 2;
}

std::string upperUuid() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("RAND_bytes failed");
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

// The drive the client would pick: not personal, the product's name first.
std::optional<Drive> demoDrive(const std::vector<Drive>& drives) {
    std::optional<Drive> fallback;
    for (const auto& drive : drives) {
        if (drive.driveType && *drive.driveType == "personal") continue;
        std::string name = drive.name;
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name.find("nimbuscrate") != std::string::npos) return drive;
        if (!fallback) fallback = drive;
    }
    return fallback;
}

// Writes a signed-in session for the demo account in the client's session
// JSON form (dates as seconds since 2001-01-01).
void writeSession(LocalService& service, const std::string& path) {
    auto tokens = service.issueTokens();
    constexpr double kUnixToReference = 978307200.0;
    double expiresAt = static_cast<double>(std::time(nullptr)) + static_cast<double>(tokens.expiresIn) - kUnixToReference;
    nlohmann::json session = {
        {"tokens", {{"accessToken", tokens.accessToken}, {"refreshToken", tokens.refreshToken}, {"expiresAt", expiresAt}}},
        {"sessionID", upperUuid()},
    };
    if (auto drive = demoDrive(service.drives())) {
        session["drive"] = {{"id", drive->id}, {"name", drive->name}, {"webDAVURL", service.webDavUrl(drive->id)}};
    }
    std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << session.dump() << "\n";
        if (!out.flush()) throw std::runtime_error("cannot write " + temporary);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
    LocalService::Options options;
    options.seedFile = NIMBUSCRATE_LOCALSERVICE_DEFAULT_SEED;
    std::string sessionFile;
    bool rotate = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        auto next = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        if (argument == "--port") {
            auto value = next();
            if (!value) return usage("--port needs a value");
            try {
                int port = std::stoi(*value);
                if (port < 0 || port > 65535) return usage("--port out of range");
                options.port = static_cast<std::uint16_t>(port);
            } catch (const std::exception&) {
                return usage("--port needs a number");
            }
        } else if (argument == "--data-dir") {
            auto value = next();
            if (!value) return usage("--data-dir needs a value");
            options.dataDirectory = *value;
        } else if (argument == "--seed") {
            auto value = next();
            if (!value) return usage("--seed needs a value");
            options.seedFile = *value;
        } else if (argument == "--write-session") {
            auto value = next();
            if (!value) return usage("--write-session needs a value");
            sessionFile = *value;
        } else if (argument == "--rotate-refresh-tokens") {
            rotate = true;
        } else {
            return usage(("unknown argument " + argument).c_str());
        }
    }

    // The service's threads inherit this mask, so only sigwait below sees the signals.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        LocalService service(options);
        service.rotateRefreshTokens(rotate);
        if (!sessionFile.empty()) writeSession(service, sessionFile);
        nlohmann::json ready = {{"address", service.address()},
                                {"port", service.port()},
                                {"caFile", service.caCertificateFile().string()},
                                {"dataDirectory", service.dataDirectory().string()}};
        if (!sessionFile.empty()) ready["sessionFile"] = sessionFile;
        std::cout << ready.dump() << std::endl;
        int received = 0;
        sigwait(&signals, &received);
    } catch (const std::exception& error) {
        std::cerr << "nimbuscrate-localservice: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
