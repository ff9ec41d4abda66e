#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

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

/// How replacing a file went; `error` is the errno of the step that failed.
/// NoTemporary: the folder took no new file, and nothing was changed.
struct FileTextWrite {
    enum Outcome { Written, NoTemporary, Failed };
    Outcome outcome = Written;
    int error = 0;
};

/// Who may read a file that replaceFileText writes.
enum class FileAccess {
    OwnerOnly, ///< it holds a password
    Default,   ///< as any new file: 0666 less the process's umask
};

/// Writes `text` to a new temporary file beside `file` and renames it over
/// `file` once it is completely on disk, so a crash or a full disk mid-write
/// leaves the previous file in place. `file` itself is replaced, not
/// followed when it is a symbolic link.
///
/// The temporary is named ".<name>.tarvo-tmp-XXXXXX": hidden, and with a tag
/// no copy a user makes ("Tarvo.cfg.backup", "Tarvo.cfg.240115") carries. It
/// is created with O_EXCL|O_NOFOLLOW under a name nobody could guess, so a
/// link planted beside `file` is never written through. Temporaries of
/// `file` left by a writer that was killed (ours, and an hour older than
/// the one just made) are removed; a younger one may belong to another
/// window saving at this moment and is left alone.
FileTextWrite replaceFileText(const std::filesystem::path& file, std::string_view text,
                              FileAccess access);

/// Writes `text` over `file` where it is, for a writable file in a folder
/// that takes no new one (set up by an administrator). The new text goes
/// over the old before the rest is cut off, so a failure part-way can leave
/// a mix of both: not proof against a crash, but the file stays savable.
/// A file of ours gets the access asked for; a symbolic link, or anything
/// but a regular file, is not written. Returns whether all was written.
bool rewriteFileText(const std::filesystem::path& file, std::string_view text, FileAccess access);

} // namespace tarvo
