#include "shared/session/RemotePath.h"

namespace nimbuscrate {

std::string normalizeRemotePath(std::string_view path) {
    std::string result;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view piece = path.substr(start, end - start);
        if (!piece.empty() && piece != ".") {
            result.push_back('/');
            result.append(piece);
        }
        start = end + 1;
    }
    return result.empty() ? std::string("/") : result;
}

}  // namespace nimbuscrate
