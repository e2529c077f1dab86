// Resumable encrypted uploads: the reservation, the parts cut from the staged
// file and sent to the URLs the service hands out, the completion, and the
// heartbeat that keeps the reservation alive meanwhile.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/core/CancellationError.h"
#include "platform/core/PlatformError.h"
#include "platform/core/Random.h"
#include "shared/encryption-client/E2EEClient.h"
#include "shared/encryption-client/E2EERedirectGuard.h"
#include "shared/encryption-client/E2EEUploadJournal.h"
#include "shared/encryption-client/FileUtilities.h"
#include "shared/encryption/E2EEError.h"
#include "shared/encryption/FileHandle.h"
#include "shared/session/DesktopError.h"

namespace nimbuscrate {

namespace {

// What the client keeps of a reservation.
struct Reservation {
    std::string id;
    std::int64_t partSize = 0;
    std::int64_t partCount = 0;
    std::int64_t heartbeatSeconds = E2EEClient::kDefaultHeartbeatSeconds;
};

std::int64_t integerIn(const E2EEJSON& value, std::int64_t lowest, std::int64_t highest) {
    const std::optional<std::int64_t> number = value.integerValue();
    if (!value.isInteger() || !number || *number < lowest || *number > highest) throw E2EEError::invalid();
    return *number;
}

// The reservation reply's rules; E2EEError::invalid for any break.
Reservation validatedReservation(const E2EEJSON& reply, std::int64_t ciphertextLength) {
    if (!reply.isObject()) throw E2EEError::invalid();
    Reservation reservation;
    reservation.id = E2EECrypto::validatedIdentifier(reply.member("id"));
    reservation.partSize = integerIn(reply.member("partSize"), 1, E2EEClient::kMaxPartSize);
    reservation.partCount = integerIn(reply.member("partCount"), 1, E2EEClient::kMaxPartCount);
    // Both are below 2^53, so the sum cannot overflow.
    if (reservation.partCount != (reservation.partSize - 1 + ciphertextLength) / reservation.partSize) {
        throw E2EEError::invalid();
    }
    const E2EEJSON& heartbeat = reply.member("heartbeatSeconds");
    const std::optional<std::int64_t> seconds = heartbeat.integerValue();
    if (heartbeat.isInteger() && seconds && *seconds >= 0 && *seconds < (std::int64_t{1} << 53)) {
        reservation.heartbeatSeconds = *seconds;
    }
    return reservation;
}

// An HTTP field name: one or more token characters.
bool isToken(std::string_view name) {
    static constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
    if (name.empty()) return false;
    for (const char c : name) {
        const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alphanumeric && kSymbols.find(c) == std::string_view::npos) return false;
    }
    return true;
}

std::string lowerCased(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

struct PartLocation {
    Url url;
    HttpHeaders headers;
};

// The part location's rules; E2EEError::invalid for any break. A header that
// could end its line early or name a field of the transport's or the
// session's own never reaches the request.
PartLocation validatedPartLocation(const E2EEJSON& reply, std::int64_t number, std::int64_t length) {
    const E2EEJSON::Array* parts = reply.member("parts").arrayValue();
    if (!parts || parts->empty()) throw E2EEError::invalid();
    const E2EEJSON& part = parts->front();
    if (!part.isObject()) throw E2EEError::invalid();
    if (integerIn(part.member("number"), 0, (std::int64_t{1} << 53) - 1) != number ||
        integerIn(part.member("length"), 0, (std::int64_t{1} << 53) - 1) != length) {
        throw E2EEError::invalid();
    }

    const std::string* text = part.member("url").stringValue();
    static constexpr std::string_view kScheme = "https://";
    if (!text || !text->starts_with(kScheme)) throw E2EEError::invalid();
    const std::string_view rest = std::string_view(*text).substr(kScheme.size());
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (authority.find('@') != std::string_view::npos) throw E2EEError::invalid();
    std::optional<Url> url = Url::parse(*text);
    if (!url || url->scheme() != "https") throw E2EEError::invalid();

    HttpHeaders headers;
    const E2EEJSON& listed = part.member("headers");
    if (!listed.isNull()) {
        const E2EEJSON::Object* fields = listed.objectValue();
        if (!fields) throw E2EEError::invalid();
        for (const std::string& name : listed.memberNames()) {
            const std::string* value = listed.member(name).stringValue();
            if (!value || !isToken(name)) throw E2EEError::invalid();
            if (value->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) throw E2EEError::invalid();
            const std::string lower = lowerCased(name);
            if (lower == "authorization" || lower == "cookie" || lower == "host") throw E2EEError::invalid();
            headers.set(name, *value);
        }
    }
    return PartLocation{std::move(*url), std::move(headers)};
}

// Sets a member of the journal's object under key and saves the journal;
// nothing when the key holds no object.
void recordStep(E2EEUploadJournal& journal, const std::string& key, std::string_view name, const E2EEJSON& value) {
    E2EEJSON entry = journal.state.member(key);
    if (!entry.isObject()) return;
    entry.setMember(value, name);
    journal.state.setMember(entry, key);
    journal.save();
}

// Whether a name is "<UUID in upper case>.part", the name of a part file.
bool isPartFileName(const std::string& name) {
    if (name.size() != 41 || !name.ends_with(".part")) return false;
    for (std::size_t i = 0; i < 36; ++i) {
        const char c = name[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

// Removes the part files an interrupted earlier run left in the folder.
void removeStalePartFiles(const std::filesystem::path& folder) {
    std::error_code error;
    std::vector<std::filesystem::path> stale;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (isPartFileName(it->path().filename().string())) stale.push_back(it->path());
    }
    for (const auto& path : stale) removeItemIfPresent(path);
}

// Copies the next `length` bytes of the source into the part, at most
// kPartCopyChunk at a time: inside the kernel where the file system allows
// it, else through the buffer. The source is read strictly in sequence; an
// end of file before the part is complete is E2EEError::invalid.
void copyPart(FileHandle& source, FileHandle& part, std::int64_t length, std::vector<std::uint8_t>& buffer) {
    // Reserve the part's blocks at once, keeping the file's size at what was
    // copied so far: a file system that allocates as it goes spends more
    // on many small allocations than on the copy. Only a hint; may be refused.
    (void)::fallocate(part.descriptor(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length));
    bool inKernel = true;
    for (std::int64_t remaining = length; remaining > 0;) {
        const auto chunk = static_cast<std::size_t>(
            std::min<std::int64_t>(remaining, static_cast<std::int64_t>(E2EEClient::kPartCopyChunk)));
        std::size_t got = 0;
        if (inKernel) {
            const ssize_t copied = ::copy_file_range(source.descriptor(), nullptr, part.descriptor(), nullptr, chunk, 0);
            if (copied < 0 && errno == EINTR) continue;
            if (copied < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                // Nothing was copied by the failed call: go on through the buffer.
                inKernel = false;
                continue;
            }
            if (copied < 0) throw posixError(errno, "copy_file_range");
            got = static_cast<std::size_t>(copied);
        } else {
            buffer.resize(chunk);
            got = source.read(buffer.data(), chunk);
            if (got > 0) part.write(buffer.data(), got);
        }
        if (got == 0) throw E2EEError::invalid();
        remaining -= static_cast<std::int64_t>(got);
    }
}

// One part file: made empty with mode 0600 under a new name, removed with
// this object whatever happened.
class PartFile {
public:
    explicit PartFile(const std::filesystem::path& folder)
        : path_(folder / (Uuid::random().upperString() + ".part")),
          handle_(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)) {
        if (!handle_.isOpen()) throw posixError(errno, "open " + path_.string());
    }
    ~PartFile() {
        closeFileHandle(handle_);
        removeItemIfPresent(path_);
    }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    FileHandle& handle() { return handle_; }

private:
    std::filesystem::path path_;
    FileHandle handle_;
};

// The heartbeat of one upload: a thread that waits on the clock (a condition
// variable) for the interval, sends one beat, and waits again, until the
// object goes. A beat's failure is dropped. The destructor stops a wait or a
// beat in progress and joins the thread.
class Heartbeat {
public:
    Heartbeat(Clock& clock, std::int64_t seconds, std::function<void(std::stop_token)> beat)
        : thread_([&clock, seconds, beat = std::move(beat)](std::stop_token stop) {
              while (clock.sleepFor(Clock::Duration(static_cast<double>(seconds)), stop)) {
                  if (stop.stop_requested()) return;
                  try {
                      beat(stop);
                  } catch (...) {
                      // A missed beat is not the upload's failure; the next one may reach the service.
                  }
              }
          }) {}

private:
    std::jthread thread_;
};

bool isStatus(const DesktopError& error, std::initializer_list<long> statuses) {
    if (error.kind() != DesktopError::Kind::server) return false;
    for (const long status : statuses) {
        if (error.status() == status) return true;
    }
    return false;
}

}  // namespace

void E2EEClient::sendPart(const std::string& uploadId, std::int64_t number, std::int64_t length,
                          const std::filesystem::path& partFile, const std::string& sessionID,
                          std::stop_token stop) const {
    const E2EEJSON reply = requestJSON("uploads/" + uploadId + "/parts?from=" + std::to_string(number) + "&count=1",
                                       "GET", std::nullopt, {}, kRequestTimeoutSeconds, stop);
    PartLocation location = validatedPartLocation(reply, number, length);

    HttpRequest request("PUT", std::move(location.url));
    request.timeoutSeconds = kPartUploadTimeoutSeconds;
    E2EERedirectGuard().apply(request);
    request.headers = std::move(location.headers);
    request.body = HttpFileBody{partFile};
    // The reply's body is of no use; it is read and dropped.
    const HttpResponse response =
        services_.transport.stream(request, [](const std::uint8_t*, std::size_t) {}, stop);
    if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();
    if (response.status < 200 || response.status > 299) throw DesktopError::invalidResponse();
}

E2EEJSON E2EEClient::uploadEncryptedFile(const E2EECrypto::Prepared& prepared,
                                         const std::filesystem::path& encryptedFile, const DriveSelection& drive,
                                         E2EEUploadJournal& journal, const std::string& key, std::stop_token stop) {
    const std::string sessionID = currentSessionID();
    const std::int64_t ciphertextLength = prepared.file.value.member("ciphertextLength").safeInteger();
    ensureWritable(stop);

    // A revision the service can never take (refused, or its reservation
    // gone before every part was stored) must not stay in the journal, or
    // every later commit of the operation would fail the same way.
    const auto forget = [&journal] {
        try {
            journal.reset();
        } catch (...) {
            // The original error is the one to report; the next call meets the same state.
        }
    };

    // Reservation.
    Reservation reservation;
    {
        const E2EEJSON& entry = journal.state.member(key);
        E2EEJSON stored = nullptr;
        if (journal.state.isNonEmptyObject() && entry.isNonEmptyObject()) stored = entry.member("reservation");
        if (stored.isNull()) {
            E2EEJSON body = E2EEJSON::object({{"driveId", drive.id},
                                              {"parentItemId", drive.id},
                                              {"name", prepared.opaqueName},
                                              {"encryption", prepared.manifest}});
            HttpHeaders headers;
            headers.set("Upload-Length", std::to_string(ciphertextLength));
            E2EEJSON reply;
            try {
                reply = requestJSON("uploads", "POST", body, headers, kRequestTimeoutSeconds, stop);
            } catch (const E2EEError& error) {
                if (error.kind() == E2EEError::Case::conflict) forget();
                throw;
            }
            // Checked before it is stored: a reply that breaks the rules
            // stays out of the journal.
            reservation = validatedReservation(reply, ciphertextLength);
            recordStep(journal, key, "reservation", reply);
        } else {
            try {
                reservation = validatedReservation(stored, ciphertextLength);
            } catch (const E2EEError&) {
                forget();
                throw;
            }
        }
    }

    std::optional<Heartbeat> heartbeat;
    if (reservation.heartbeatSeconds >= kMinHeartbeatSeconds && reservation.heartbeatSeconds <= kMaxHeartbeatSeconds) {
        heartbeat.emplace(services_.clock, reservation.heartbeatSeconds, [this, id = reservation.id](std::stop_token beat) {
            (void)requestJSON("uploads/" + id + "/heartbeat", "POST", std::nullopt, {}, kRequestTimeoutSeconds, beat);
        });
    }

    const bool completing = journal.state.member(key).member("completing") == E2EEJSON(true);
    try {
        if (!completing) {
            FileHandle source = openFileForReading(encryptedFile);
            throwIfCancelled(stop);
            removeStalePartFiles(encryptedFile.parent_path());
            std::vector<std::uint8_t> buffer;
            for (std::int64_t number = 1;; ++number) {
                if (currentSessionID() != sessionID) throw E2EEError::sessionChanged();
                const std::int64_t length =
                    std::min(reservation.partSize, ciphertextLength - (number - 1) * reservation.partSize);

                PartFile part(encryptedFile.parent_path());
                copyPart(source, part.handle(), length, buffer);
                part.handle().close();

                for (int attempt = 1;; ++attempt) {
                    try {
                        sendPart(reservation.id, number, length, part.path(), sessionID, stop);
                        break;
                    } catch (const E2EEError& error) {
                        // Another session's token must never send this operation's bytes.
                        if (error.kind() == E2EEError::Case::sessionChanged || attempt == kPartAttempts) throw;
                    } catch (const CancellationError&) {
                        throw;
                    } catch (...) {
                        if (attempt == kPartAttempts) throw;
                    }
                    throwIfCancelled(stop);
                }
                if (number == reservation.partCount) break;
                throwIfCancelled(stop);
            }
            recordStep(journal, key, "completing", true);
        }

        // Completion.
        const double deadline = services_.clock.monotonicSeconds() + kCompletionDeadlineSeconds;
        for (;;) {
            const E2EEJSON reply = requestJSON("uploads/" + reservation.id + "/complete", "POST", std::nullopt, {},
                                               kRequestTimeoutSeconds, stop);
            if (!reply.isNonEmptyObject() || !(reply.member("id") == E2EEJSON(reservation.id))) {
                throw E2EEError::invalid();
            }
            const E2EEJSON& state = reply.member("state");
            if (state == E2EEJSON("complete")) break;
            if (!(state == E2EEJSON("completing")) || services_.clock.monotonicSeconds() >= deadline) {
                throw E2EEError::invalid();
            }
            if (!services_.clock.sleepFor(Clock::Duration(kCompletionPollSeconds), stop)) throw CancellationError();
        }
    } catch (const E2EEError& error) {
        if (error.kind() == E2EEError::Case::conflict) forget();
        throw;
    } catch (const DesktopError& error) {
        const bool completingSaved = journal.state.member(key).member("completing") == E2EEJSON(true);
        if (!completingSaved && isStatus(error, {404, 410})) forget();
        throw;
    }

    updateStateFile(prepared.manifest, true);
    const std::int64_t previousGeneration = prepared.file.value.member("previousGeneration").safeInteger();
    const E2EEJSON& revisionId = prepared.file.value.member("revisionId");
    const E2EEJSON record = E2EEJSON::object({{"manifest", prepared.manifest},
                                              {"driveId", drive.id},
                                              {"parentItemId", drive.id},
                                              {"opaqueName", prepared.opaqueName},
                                              {"ciphertextLength", ciphertextLength},
                                              {"revisionId", revisionId.isNull() ? E2EEJSON(nullptr) : revisionId},
                                              {"generation", previousGeneration + 1},
                                              {"current", true}});
    recordStep(journal, key, "entry", record);
    return record;
}

}  // namespace nimbuscrate
