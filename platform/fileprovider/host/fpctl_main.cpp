// nimbuscrate-fpctl: the command-line client of the file provider host.
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
                 "  path IDENTIFIER [ITEM]          print where an item is shown\n";
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
    } else if ((command == "signal" || command == "path") && (args.size() == 2 || args.size() == 3)) {
        request = {{"op", command == "signal" ? "signal" : "userVisiblePath"},
                   {"domain", {{"identifier", args[1]}}},
                   {"item", itemArgument(args.size() == 3 ? args[2] : "root")}};
    } else {
        return usage();
    }

    TaskPool tasks(1);
    std::shared_ptr<ControlClient> client;
    try {
        client = ControlClient::connect(socket, tasks);
    } catch (const ErrorException& error) {
        std::cerr << "nimbuscrate-fpctl: " << error.what() << "\n";
        return 1;
    }
    std::promise<ControlClient::Reply> answer;
    client->call(request, [&answer](ControlClient::Reply reply) { answer.set_value(ControlClient::check(std::move(reply))); });
    auto reply = answer.get_future().get();
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
    } else if (command == "path") {
        std::cout << json.value("path", "") << "\n";
    }
    return 0;
}
