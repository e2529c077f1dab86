// nimbuscrate-fpctl: the command-line client of the file provider host.
#include <filesystem>
#include <future>
#include <iostream>
#include <string>
#include <vector>

#include "platform/fileprovider/host/ControlClient.h"
#include "platform/fileprovider/host/ControlProtocol.h"
#include "platform/tasks/TaskPool.h"

using namespace nimbuscrate;
using namespace nimbuscrate::fp;
using namespace nimbuscrate::fp::host;

namespace {

int usage() {
    std::cerr << "usage: nimbuscrate-fpctl [--socket PATH] COMMAND\n"
                 "  domains                         list the registered domains\n"
                 "  add IDENTIFIER DISPLAY-NAME     register a domain and mount it\n"
                 "  remove IDENTIFIER               unmount a domain and forget it\n"
                 "  signal IDENTIFIER [ITEM]        enumerate a container's changes again (root, working-set or an item)\n"
                 "  path IDENTIFIER [ITEM]          print where an item is shown\n"
                 "  evict IDENTIFIER ITEM           drop the cached copy of a file (fails while it is open or unsent)\n"
                 "  wait IDENTIFIER [ITEM]          wait until no change below the item waits to be sent\n"
                 "  materialized IDENTIFIER         list the files with a cached copy (identifier, name)\n"
                 "  thumbnail IDENTIFIER ITEM FILE [SIZE]\n"
                 "                                  write an item's thumbnail (at most SIZE pixels a side,\n"
                 "                                  default 256) to FILE; fails when it has none\n";
    return 2;
}

ItemId itemArgument(const std::string& text) {
    if (text == "root") return kRootContainer;
    if (text == "working-set") return kWorkingSet;
    if (text == "trash") return kTrashContainer;
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::filesystem::path socket = controlSocketPath(defaultRuntimeDirectory());
    if (args.size() >= 2 && args[0] == "--socket") {
        socket = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return usage();
    const std::string command = args[0];

    nlohmann::json request;
    if (command == "domains" && args.size() == 1) {
        request = {{"op", "getDomains"}};
    } else if (command == "add" && args.size() == 3) {
        request = {{"op", "addDomain"}, {"domain", toJSON(Domain{args[1], args[2]})}};
    } else if (command == "remove" && args.size() == 2) {
        request = {{"op", "removeDomain"}, {"domain", {{"identifier", args[1]}}}};
    } else if (command == "evict" && args.size() == 3) {
        request = {{"op", "evict"}, {"domain", {{"identifier", args[1]}}}, {"item", itemArgument(args[2])}};
    } else if (command == "materialized" && args.size() == 2) {
        request = {{"op", "materializedPage"}, {"domain", {{"identifier", args[1]}}}};
    } else if (command == "thumbnail" && (args.size() == 4 || args.size() == 5)) {
        int size = 256;
        try {
            std::size_t used = 0;
            if (args.size() == 5) size = std::stoi(args[4], &used);
            if (args.size() == 5 && used != args[4].size()) return usage();
        } catch (const std::exception&) {
            return usage();
        }
        request = {{"op", "fetchThumbnail"},
                   {"domain", {{"identifier", args[1]}}},
                   {"item", itemArgument(args[2])},
                   {"file", std::filesystem::absolute(args[3]).string()},
                   {"size", size}};
    } else if ((command == "signal" || command == "path" || command == "wait") && (args.size() == 2 || args.size() == 3)) {
        request = {{"op", command == "signal" ? "signal" : command == "wait" ? "waitForChanges" : "userVisiblePath"},
                   {"domain", {{"identifier", args[1]}}},
                   {"item", itemArgument(args.size() == 3 ? args[2] : "root")}};
    } else {
        return usage();
    }

    TaskPool tasks(1);
    std::shared_ptr<ControlClient> client;
    // Every page of the materialized items, one request each.
    std::vector<nlohmann::json> materialized;
    try {
        client = ControlClient::connect(socket, tasks);
    } catch (const ErrorException& error) {
        std::cerr << "nimbuscrate-fpctl: " << error.what() << "\n";
        return 1;
    }
    auto ask = [&](nlohmann::json next) {
        std::promise<ControlClient::Reply> answer;
        client->call(next, [&answer](ControlClient::Reply reply) { answer.set_value(ControlClient::check(std::move(reply))); });
        return answer.get_future().get();
    };
    auto reply = ask(request);
    while (command == "materialized" && std::holds_alternative<nlohmann::json>(reply)) {
        const auto& page = std::get<nlohmann::json>(reply);
        for (const auto& item : page.value("items", nlohmann::json::array())) materialized.push_back(item);
        auto next = page.find("next");
        if (next == page.end() || !next->is_string()) break;
        request["page"] = *next;
        reply = ask(request);
    }
    client->close();
    if (std::holds_alternative<Error>(reply)) {
        const auto& error = std::get<Error>(reply);
        std::cerr << "nimbuscrate-fpctl: " << error.localizedDescription() << " (" << error.domain << " " << error.code
                  << ")\n";
        return 1;
    }
    const auto& json = std::get<nlohmann::json>(reply);
    if (command == "domains") {
        for (const auto& domain : json.at("domains")) {
            std::cout << domain.value("identifier", "") << "\t" << domain.value("displayName", "") << "\n";
        }
    } else if (command == "materialized") {
        for (const auto& item : materialized) {
            std::cout << item.value("identifier", "") << "\t" << item.value("filename", "") << "\n";
        }
    } else if (command == "path") {
        std::cout << json.value("path", "") << "\n";
    } else if (command == "thumbnail") {
        if (json.value("bytes", 0) == 0) {
            std::cerr << "nimbuscrate-fpctl: the item has no thumbnail\n";
            return 1;
        }
        std::cout << json.value("bytes", 0) << " bytes\n";
    }
    return 0;
}
