// What the file commands (ls, cat, cp, info) share: attaching a reader to
// the addressed volume, resolving paths and walking directories.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "filesystems/file_system.h"

namespace vandrel::cli {

// The volume at the address with its reader attached; throws CliError when
// the volume has no readable file system.
TStorage* OpenVolume(Session& session, const Address& address);

// "/a/b" form of a user path ("a/b", "/a/b/", "" all work).
std::string NormalizePath(const std::string& path);
std::string JoinPath(const std::string& directory, const std::string& name);

// The entry at `path`; throws CliError (not found).
TFileEntry LookupEntry(TStorage* volume, const std::string& path);

// A symbolic link's target text as the volume stores it; "" when unreadable.
std::string LinkTarget(const TFileEntry& entry);

// Kind and device numbers of a special file; Unknown for anything else.
TSpecialInfo SpecialInfo(const TFileEntry& entry);
// "fifo", "char", "block", "socket" or "unknown".
const char* SpecialKindName(TSpecialKind kind);

// "file", "dir", "symlink" or "other".
const char* EntryTypeName(const TFileEntry& entry);

// The entries of `directory` (found at `path`) as the reader presents them
// to every front end. False, with a line on stderr, when the listing is
// incomplete: unreadable, or cut at the bound of entries per folder.
bool ListChildren(const TFileEntry& directory, const std::string& path, std::vector<TFileEntry>& children);

// `text` for a terminal line: control characters (C0, DEL, C1) shown as
// \xNN or \uNNNN escapes, so a name cannot move the cursor or recolour.
std::string TerminalText(std::string_view text);

// Keeps a recursive walk finite. Junctions (and damage) can make a
// directory its own descendant or reach one directory from many places: a
// directory already on the current path is not entered again, none is
// entered more than a few times in one walk, and the depth is bounded.
class TreeWalkGuard {
 public:
  enum class Verdict { Enter, JunctionLoop, Refused };
  // Starts the walk at `top`.
  explicit TreeWalkGuard(const TFileEntry& top);
  // Whether to descend into `directory`, a child of the directory entered
  // last.
  Verdict Check(const TFileEntry& directory) const;
  // The walk is inside `directory` while this lives.
  class Inside {
   public:
    Inside(TreeWalkGuard& guard, const TFileEntry& directory) : guard_(guard) { guard_.Enter(directory); }
    ~Inside() { guard_.Leave(); }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

   private:
    TreeWalkGuard& guard_;
  };
  // Says why a directory is skipped; true when that leaves the walk
  // incomplete (a loop through a junction is part of the volume, not a
  // failure to read it).
  bool Report(Verdict verdict, const std::string& path) const;

 private:
  void Enter(const TFileEntry& directory);
  void Leave();

  struct Step {
    std::int64_t id;
    bool junction;
  };
  std::vector<Step> path_;
  std::map<std::int64_t, int> entered_;
};

// Streams the entry's data (or the named stream) to `sink`; answers the
// bytes delivered. Unreadable ranges are delivered as zeros and counted;
// what was damaged (empty when nothing) goes to `damage`, or without it is
// thrown as a CliError once all bytes are out.
std::uint64_t CopyEntryData(TDeviceManager& devices, const TFileEntry& entry, const std::string& streamName,
                            const std::function<void(const std::uint8_t*, std::size_t)>& sink,
                            const std::function<void(std::uint64_t)>& progress, std::string* damage = nullptr);

// Writes all bytes to a C stream; throws CliError on failure.
void WriteAll(std::FILE* out, const std::uint8_t* data, std::size_t size);

}  // namespace vandrel::cli
