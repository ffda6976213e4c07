#pragma once
// One small file on disk that is replaced whole: read at once, written
// through a temporary file in the same folder, fsync, rename and fsync of
// the folder, so a reader sees either the old or the new file, never a part.
//
// A file kept elsewhere through a link is read, replaced and set aside at
// the link's target, so the link stays; the links are followed by hand, so
// a target that does not exist yet is still where the file belongs.

#include <cstddef>
#include <string>

namespace talmo {

// The folder of `path` ("." when it names none).
std::string FolderOf(const std::string& path);

// `path` with its links followed to the file they lead to (which need not
// exist). A loop of links gives a path that is still a link.
std::string TargetPath(const std::string& path);

enum class TReadResult { Read, Missing, NotRegular, TooLarge, Failed };

// Reads the whole file at `path` into `text`. Missing: neither the file nor
// its folder exists. Failed sets `err` to the system's error code. A FIFO
// put in the file's place does not block the call (NotRegular).
TReadResult ReadWholeFile(const std::string& path, std::size_t maxSize, std::string& text,
                          int& err);

// Replaces the file at TargetPath(path) with `text`, creating missing
// folders (for the user only). The mode of the file it replaces is kept;
// a new file is 0600. False with `error` ("cannot ...: <reason>") when the
// file was not replaced; nothing of the attempt then remains.
bool ReplaceFile(const std::string& path, const std::string& text, std::string& error);

// Renames `file` to `base`, or to "<base>-2", "<base>-3"... when that name
// is taken, never replacing a file. Returns 0 and the name in `target`, or
// the system's error code.
int SetFileAside(const std::string& file, const std::string& base, std::string& target);

// Holds an flock on a folder, so that two running programs change a file in
// it one after the other and neither loses the other's change. Nothing is
// held when the folder does not exist yet.
class TFolderLock {
 public:
  explicit TFolderLock(const std::string& dir);
  ~TFolderLock();
  TFolderLock(const TFolderLock&) = delete;
  TFolderLock& operator=(const TFolderLock&) = delete;

 private:
  int FFd;
};

}  // namespace talmo
