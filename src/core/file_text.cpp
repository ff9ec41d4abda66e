#include "core/file_text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvo {

FileTextRead readFileText(const std::filesystem::path& file, std::size_t limit, std::string& text,
                          FileLinks links) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC |
                                            (links == FileLinks::Refuse ? O_NOFOLLOW : 0));
    if (fd < 0)
        return {errno == ENOENT ? FileTextRead::Missing : FileTextRead::Unreadable, errno};
    struct stat st {};
    FileTextRead result;
    if (::fstat(fd, &st) != 0)
        result = {FileTextRead::Unreadable, errno};
    else if (!S_ISREG(st.st_mode))
        result.outcome = FileTextRead::NotRegular;
    else if (static_cast<std::uintmax_t>(st.st_size) > limit)
        result.outcome = FileTextRead::TooLarge;
    char buf[8192];
    while (result.outcome == FileTextRead::Read) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            result = {FileTextRead::Unreadable, errno};
        else if (n == 0)
            break;
        else if (text.size() + static_cast<std::size_t>(n) > limit)
            result.outcome = FileTextRead::TooLarge;
        else
            text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (result.outcome != FileTextRead::Read)
        text.clear();
    return result;
}

namespace {

constexpr std::string_view kTemporaryTag = ".tarvo-tmp-";

// A save takes well under a second: a temporary an hour older than ours was
// left by a writer that died. A younger one may be another window's save in
// progress, whose rename would fail if we took its file away.
constexpr time_t kStaleAge = 3600;

std::filesystem::path folderOf(const std::filesystem::path& file) {
    return file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
}

std::string temporaryPrefix(const std::filesystem::path& file) {
    return "." + file.filename().string() + std::string(kTemporaryTag);
}

// 0666 less the umask, read from /proc: asking umask(2) would set it, which
// another thread creating a file at that moment would feel.
mode_t defaultMode() {
    std::string status;
    if (readFileText("/proc/self/status", 1 << 16, status).outcome == FileTextRead::Read) {
        const auto at = status.find("\nUmask:");
        if (at != std::string::npos)
            return 0666 & ~static_cast<mode_t>(std::strtoul(status.c_str() + at + 7, nullptr, 8));
    }
    return S_IRUSR | S_IWUSR; // unknown: the safer choice
}

// Removes ".<name>.tarvo-tmp-XXXXXX" files (six letters or digits, as
// mkstemp names them) that are regular, ours, and at least kStaleAge older
// than `now`, the time our own temporary was made by the same file system.
void removeStaleTemporaries(const std::filesystem::path& file, time_t now) {
    const std::string prefix = temporaryPrefix(file);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folderOf(file), ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() != prefix.size() + 6 || !name.starts_with(prefix) ||
            !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                         [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }))
            continue;
        struct stat st {};
        if (::lstat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == ::geteuid() && st.st_mtime + kStaleAge <= now)
            ::unlink(entry.path().c_str());
    }
}

bool writeAll(int fd, std::string_view text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

FileTextWrite replaceFileText(const std::filesystem::path& file, std::string_view text,
                              FileAccess access) {
    const std::filesystem::path dir = folderOf(file);
    std::string temp = (dir / (temporaryPrefix(file) + "XXXXXX")).string();
    // mkostemp adds O_CREAT|O_EXCL and mode 0600 itself.
    const int fd = ::mkostemp(temp.data(), O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return {FileTextWrite::NoTemporary, errno};
    struct stat st {};
    const mode_t mode = access == FileAccess::OwnerOnly ? S_IRUSR | S_IWUSR : defaultMode();
    bool ok =
        ::fstat(fd, &st) == 0 && ::fchmod(fd, mode) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    int error = ok ? 0 : errno;
    ok = (::close(fd) == 0) && ok;
    if (ok)
        removeStaleTemporaries(file, st.st_mtime);
    ok = ok && ::rename(temp.c_str(), file.c_str()) == 0;
    if (!ok) {
        error = error != 0 ? error : errno;
        ::unlink(temp.c_str());
        return {FileTextWrite::Failed, error};
    }
    // Make the rename itself durable; a failure here loses nothing that the
    // old file did not already hold.
    if (const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return {};
}

bool rewriteFileText(const std::filesystem::path& file, std::string_view text, FileAccess access) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok && st.st_uid == ::geteuid() && access == FileAccess::OwnerOnly)
        ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    ok = ok && writeAll(fd, text) && ::ftruncate(fd, static_cast<off_t>(text.size())) == 0 &&
         ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    return ok;
}

} // namespace tarvo
