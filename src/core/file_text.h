#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace tarvo {

/// How reading a small text file whole went; `error` is the errno of a
/// Missing or Unreadable file.
struct FileTextRead {
    enum Outcome { Read, Missing, NotRegular, TooLarge, Unreadable };
    Outcome outcome = Read;
    int error = 0;
};

/// Whether a symbolic link at the file's own name is followed. A file in a
/// folder anyone may write to (the lock folder) is read only as itself.
enum class FileLinks { Follow, Refuse };

/// Reads the whole of `file`, at most `limit` bytes, into `text`, or nothing.
/// Opening without blocking keeps a FIFO from stalling the caller; only a
/// regular file is read, so a link to /dev/zero cannot spin the reader; the
/// size is checked again while reading, for a file that grows meanwhile.
/// With FileLinks::Refuse a link is Unreadable (ELOOP).
FileTextRead readFileText(const std::filesystem::path& file, std::size_t limit, std::string& text,
                          FileLinks links = FileLinks::Follow);

} // namespace tarvo
