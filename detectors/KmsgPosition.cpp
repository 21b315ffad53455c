#include "detectors/KmsgPosition.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "base/UniqueFd.h"

namespace android::tarnd {

namespace {

constexpr const char* kBootIdPath = "/proc/sys/kernel/random/boot_id";
// Far more than a position or a boot id needs: a larger file is not ours.
constexpr size_t kMaxFileSize = 256;

bool readSmallFile(const std::string& path, std::string* out) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.ok()) return false;
    char buffer[kMaxFileSize];
    ssize_t size;
    do {
        size = read(fd.get(), buffer, sizeof(buffer));
    } while (size < 0 && errno == EINTR);
    if (size < 0) return false;
    out->assign(buffer, static_cast<size_t>(size));
    return true;
}

}  // namespace

std::string formatKmsgPosition(const KmsgPosition& position) {
    return position.bootId + " " + std::to_string(position.seq) + "\n";
}

bool parseKmsgPosition(const std::string& text, KmsgPosition* out) {
    size_t blank = text.find(' ');
    if (blank == 0 || blank == std::string::npos || text.empty() || text.back() != '\n') {
        return false;
    }
    std::string digits = text.substr(blank + 1, text.size() - blank - 2);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    unsigned long long seq = strtoull(digits.c_str(), nullptr, 10);
    if (errno != 0) return false;
    out->bootId = text.substr(0, blank);
    out->seq = seq;
    return true;
}

bool loadKmsgPosition(const std::string& path, KmsgPosition* out) {
    std::string text;
    return readSmallFile(path, &text) && parseKmsgPosition(text, out);
}

bool saveKmsgPosition(const std::string& path, const KmsgPosition& position) {
    const std::string temporary = path + ".new";
    const std::string text = formatKmsgPosition(position);
    unlink(temporary.c_str());  // a leftover of a crash, or anything planted there
    UniqueFd fd(
            open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.ok()) return false;
    bool written = write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    // No fsync: a power loss starts a new boot, whose records the old position never names.
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        int error = written ? errno : EIO;
        unlink(temporary.c_str());
        errno = error;
        return false;
    }
    return true;
}

std::string currentBootId() {
    std::string id;
    if (!readSmallFile(kBootIdPath, &id)) return std::string();
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    return id;
}

}  // namespace android::tarnd
