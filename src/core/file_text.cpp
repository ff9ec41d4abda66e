#include "core/file_text.h"

#include <cerrno>

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

} // namespace tarvo
