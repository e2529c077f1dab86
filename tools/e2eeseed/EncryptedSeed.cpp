#include "tools/e2eeseed/EncryptedSeed.h"

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Random.h"
#include "platform/imaging/ImageTranscoder.h"
#include "shared/encryption-client/E2EEAccountKeys.h"
#include "shared/encryption/E2EECrypto.h"
#include "shared/encryption/E2EEJSON.h"
#include "shared/encryption/E2EELibrary.h"
#include "shared/encryption/P256SigningKey.h"

namespace nimbuscrate::e2eeseed {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

Json readJSON(const fs::path& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    Json value = Json::parse(in, nullptr, false);
    if (value.is_discarded() || !value.is_object()) throw std::runtime_error(path.string() + " is not a JSON object");
    return value;
}

Json toJSON(const E2EEJSON& value) { return Json::parse(value.canonicalString()); }
E2EEJSON toE2EE(const Json& value) { return E2EEJSON::parse(value.dump()); }

// A fresh unlocked key set of the account: a P-256 signing key and a 32-byte
// root key, as the app's setup makes them.
E2EEJSON newKeySet(const std::string& accountId) {
    SecretBytes scalar;
    Bytes point;
    for (;;) {
        scalar = E2EECrypto::randomBytes(32);
        try {
            point = P256SigningKey::fromRawRepresentation(scalar).publicKeyX963();
            break;
        } catch (const std::exception&) {
            // A scalar outside the curve's order (about one in 2^32): draw again.
        }
    }
    E2EEJSON publicKey = E2EEJSON::object({
        {"kty", "EC"},
        {"crv", "P-256"},
        {"ext", true},
        {"key_ops", E2EEJSON::array({"verify"})},
        {"x", E2EECrypto::base64URLEncode(ByteView(point).subspan(1, 32))},
        {"y", E2EECrypto::base64URLEncode(ByteView(point).subspan(33, 32))},
    });
    E2EEJSON signingKey = publicKey;
    signingKey.setMember(E2EECrypto::base64URLEncode(scalar), "d");
    return E2EEJSON::object({
        {"version", 1},
        {"accountId", accountId},
        {"publicKey", publicKey},
        {"signingKey", signingKey},
        {"root", E2EECrypto::base64URLEncode(E2EECrypto::randomBytes(32))},
    });
}

// A passphrase of four groups of five characters from 32 that read apart
// (no "l", "0", "1" or "9"): 100 random bits.
std::string newPassphrase() {
    static constexpr std::string_view kAlphabet = "abcdefghijkmnopqrstuvwxyz2345678";
    static_assert(kAlphabet.size() == 32);
    const SecretBytes random = E2EECrypto::randomBytes(20);
    const ByteView bytes(random);
    std::string passphrase;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 5 == 0) passphrase += '-';
        passphrase += kAlphabet[bytes[i] % 32];
    }
    return passphrase;
}

// The key record's associated data of one envelope ("password" or "recovery").
Bytes accountAssociatedData(const std::string& accountId, const char* label) {
    return bytesOf(E2EEJSON::array({"nimbuscrate-e2ee-v1", accountId, "account", "v1", label}).canonicalString());
}

std::string mimeOf(const std::string& name) {
    static const std::map<std::string, std::string> kTypes = {
        {".txt", "text/plain"}, {".md", "text/markdown"}, {".csv", "text/csv"}, {".json", "application/json"},
        {".jpg", "image/jpeg"},
    };
    const auto type = kTypes.find(fs::path(name).extension().string());
    return type == kTypes.end() ? "application/octet-stream" : type->second;
}

// A JPEG photo of a colour gradient with a disc, so that its preview has
// something to show.
std::string jpegPhoto(const Json& size, const std::string& path) {
    const int width = size.at("width").get<int>();
    const int height = size.at("height").get<int>();
    if (width < 1 || height < 1 || width > 8192 || height > 8192) {
        throw std::runtime_error("the image of " + path + " has a size out of range");
    }
    RgbImage image;
    image.width = width;
    image.height = height;
    image.pixels.reserve(image.expectedSize());
    const double radius = std::min(width, height) / 3.0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double dx = x - width / 2.0;
            const double dy = y - height / 2.0;
            image.pixels.push_back(static_cast<std::uint8_t>(255 * x / width));
            image.pixels.push_back(static_cast<std::uint8_t>(255 * y / height));
            image.pixels.push_back(dx * dx + dy * dy < radius * radius ? 230 : 60);
        }
    }
    const std::optional<Bytes> jpeg = ImageTranscoder::toJPEG(image, 90);
    if (!jpeg) throw std::runtime_error("the image of " + path + " could not be encoded");
    return std::string(jpeg->begin(), jpeg->end());
}

// The encrypted blob of a file's plaintext, in the segmented format.
Bytes encryptContents(const std::string& plaintext, const E2EECrypto::File& file, const fs::path& scratch) {
    const fs::path plain = scratch / "plain";
    const fs::path sealed = scratch / "sealed";
    std::ofstream(plain, std::ios::binary | std::ios::trunc) << plaintext;
    E2EECrypto::transformFile(plain, sealed, file, true);
    std::ifstream in(sealed, std::ios::binary);
    Bytes blob((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::remove(plain);
    fs::remove(sealed);
    return blob;
}

void writeText(const fs::path& path, const std::string& text, mode_t mode) {
    const fs::path temporary = path.string() + ".tmp";
    fs::remove(temporary);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) throw std::runtime_error("cannot write " + temporary.string());
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n <= 0) {
            ::close(fd);
            throw std::runtime_error("cannot write " + temporary.string());
        }
        written += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) throw std::runtime_error("cannot write " + temporary.string());
    fs::rename(temporary, path);
}

}  // namespace

void writeEncryptedSeed(const fs::path& base, const fs::path& encrypted, const fs::path& seedOut,
                        const fs::path& keysOut, const fs::path& unlockOut) {
    Json seed = readJSON(base);
    const Json wanted = readJSON(encrypted);
    if (!seed.contains("account") || !seed["account"].is_object() || !seed["account"].contains("accountId") ||
        !seed["account"]["accountId"].is_string()) {
        throw std::runtime_error("the base seed needs an \"account\" with a string \"accountId\"");
    }
    if (!wanted.contains("drive") || !wanted["drive"].is_string() || !wanted.contains("items") ||
        !wanted["items"].is_array()) {
        throw std::runtime_error("the encrypted items need a string \"drive\" and an \"items\" array");
    }
    const std::string accountId = seed["account"]["accountId"].get<std::string>();
    const std::string driveId = wanted["drive"].get<std::string>();
    Json* drive = nullptr;
    for (Json& entry : seed["drives"]) {
        if (entry.value("id", "") == driveId) drive = &entry;
    }
    if (!drive) throw std::runtime_error("the base seed has no drive " + driveId);

    const E2EEJSON keys = newKeySet(accountId);
    Json& account = seed["account"];
    account["format"] = std::string(E2EECrypto::kFileFormat);
    account["mode"] = "required";
    account["onboardingRequired"] = false;
    // The key set sealed under the passphrase and the recovery key, as the
    // app's setup seals it.
    const std::string passphrase = newPassphrase();
    const SecretBytes recoveryKey = E2EECrypto::randomBytes(32);
    const E2EEJSON kdf = E2EEJSON::object({
        {"name", "argon2id"},
        {"memorySize", 65536},
        {"iterations", 3},
        {"parallelism", 4},
        {"salt", E2EECrypto::base64URLEncode(E2EECrypto::randomBytes(16))},
    });
    const Bytes keySetText = bytesOf(keys.canonicalString());
    const SecretBytes passphraseKey = E2EECrypto::derivePassphraseKey(passphrase, kdf);
    const E2EEJSON keyRecord = E2EEJSON::object({
        {"version", 1},
        {"accountId", accountId},
        {"publicKey", keys.member("publicKey")},
        {"kdf", kdf},
        {"passwordEnvelope",
         E2EECrypto::sealEnvelope(passphraseKey, keySetText, accountAssociatedData(accountId, "password"))},
        {"recoveryEnvelope",
         E2EECrypto::sealEnvelope(recoveryKey, keySetText, accountAssociatedData(accountId, "recovery"))},
    });
    // Opened as the app's unlock opens it, with each secret.
    if (E2EECrypto::unlockAccountKeys(keyRecord, passphrase, false).canonicalString() != keys.canonicalString() ||
        E2EECrypto::unlockAccountKeys(keyRecord, E2EECrypto::base64URLEncode(recoveryKey), true).canonicalString() !=
            keys.canonicalString()) {
        throw std::runtime_error("the key record does not unlock to the account's keys");
    }
    account["keyRecord"] = toJSON(keyRecord);
    if (!account.contains("ownedDriveIds") || !account["ownedDriveIds"].is_array()) account["ownedDriveIds"] = Json::array();
    bool owned = false;
    for (const Json& id : account["ownedDriveIds"]) owned = owned || id == driveId;
    if (!owned) account["ownedDriveIds"].push_back(driveId);
    if (!account.contains("primaryDriveId") || !account["primaryDriveId"].is_string()) account["primaryDriveId"] = driveId;

    const fs::path scratch = fs::temp_directory_path() / ("nimbuscrate-e2ee-seed-" + Uuid::random().lowerString());
    fs::create_directories(scratch);
    fs::permissions(scratch, fs::perms::owner_all);
    struct Cleanup {
        fs::path path;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } cleanup{scratch};

    std::vector<E2EEJSON> nodes;
    std::vector<E2EEJSON> files;
    Json blobs = Json::array();
    std::map<std::string, std::string> folders = {{"/", "root"}};
    for (const Json& item : wanted["items"]) {
        const std::string path = item.at("path").get<std::string>();
        const fs::path itemPath(path);
        const std::string parentPath = itemPath.parent_path().string();
        const std::string name = itemPath.filename().string();
        const auto parent = folders.find(parentPath);
        if (path.empty() || path[0] != '/' || parent == folders.end() || folders.contains(path)) {
            throw std::runtime_error("encrypted item " + path + " needs an absolute path below a folder listed before it");
        }
        const E2EEJSON parentId(parent->second);
        try {
            if (item.value("folder", false)) {
                const std::string nodeId = Uuid::random().lowerString();
                nodes.push_back(E2EECrypto::makeNodeRecord(keys, nodeId, "folder", parentId, 1, false, name, driveId));
                folders[path] = nodeId;
                continue;
            }
            const std::string text =
                item.contains("image") ? jpegPhoto(item["image"], path) : item.at("text").get<std::string>();
            const std::int64_t modified = item.value("modified", std::int64_t{1765350000}) * 1000;
            const E2EECrypto::Prepared prepared =
                E2EECrypto::prepareFile(keys, name, static_cast<std::int64_t>(text.size()), mimeOf(name), modified,
                                        parentId, std::nullopt, nullptr);
            const Bytes blob = encryptContents(text, prepared.file, scratch);
            const E2EEJSON& value = prepared.file.value;
            if (value.member("ciphertextLength") != E2EEJSON(static_cast<std::int64_t>(blob.size()))) {
                throw std::runtime_error("the blob of " + path + " does not have the manifest's length");
            }
            files.push_back(E2EEJSON::object({
                {"manifest", prepared.manifest},
                {"opaqueName", prepared.opaqueName},
                {"revisionId", value.member("revisionId")},
                {"ciphertextLength", value.member("ciphertextLength")},
                {"generation", 1},
                {"current", true},
                {"driveId", driveId},
                {"parentItemId", driveId},
            }));
            // The service lists a file's node beside its revision, as after an upload.
            nodes.push_back(value.member("node"));
            blobs.push_back(Json{{"path", "/" + prepared.opaqueName}, {"base64url", E2EECrypto::base64URLEncode(blob)}});
        } catch (const nlohmann::json::exception& error) {
            throw std::runtime_error("encrypted item " + path + ": " + error.what());
        }
    }

    // Opened as the client opens them: a seed the client would refuse is never written.
    std::vector<E2EEJSON> listedNodes;
    for (const E2EEJSON& record : nodes) listedNodes.push_back(E2EEJSON::object({{"state", record}}));
    const E2EELibrary::Snapshot snapshot = E2EELibrary::snapshot(keys, files, listedNodes, toE2EE(account));
    if (snapshot.items.size() != wanted["items"].size()) {
        throw std::runtime_error("the encrypted records do not open to the items asked for");
    }

    Json nodeRecords = Json::array();
    for (const E2EEJSON& record : nodes) nodeRecords.push_back(toJSON(record));
    Json fileRecords = Json::array();
    for (const E2EEJSON& record : files) fileRecords.push_back(toJSON(record));
    // The blobs first: a member added to the seed may copy its other members
    // elsewhere, drive's among them.
    if (!drive->contains("items")) (*drive)["items"] = Json::array();
    for (Json& blob : blobs) (*drive)["items"].push_back(std::move(blob));
    drive = nullptr;
    seed["encryptedNodes"] = std::move(nodeRecords);
    seed["encryptedFiles"] = std::move(fileRecords);

    const Json unlock = {{"passphrase", passphrase}, {"recoveryKey", E2EECrypto::base64URLEncode(recoveryKey)}};
    writeText(unlockOut, unlock.dump(2) + "\n", 0600);
    writeText(keysOut, keys.canonicalString(), 0600);
    writeText(seedOut, seed.dump(2) + "\n", 0644);
}

}  // namespace nimbuscrate::e2eeseed
