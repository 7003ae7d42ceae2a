#pragma once
// Names of the temporary files (and folders) the programs make beside what they
// write. Each name carries the id of the process that made it, so that a later run
// can tell the leftovers of a process that was killed (SIGKILL, a power cut) from
// the files of one that is still writing, and remove only the former.
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvora {

// A name made of `prefix`, a process id, optionally "-" and a tag of letters and
// digits (a counter, a random part), then `suffix`.
struct TempNamePattern {
  std::string prefix;
  std::string suffix;
  bool tagged = false;
  bool folders = false;  // the entries are folders, removed with their contents
};

// The name for process `pid` with `tag` (ignored unless the pattern is tagged).
std::string TempName(const TempNamePattern& pattern, pid_t pid, std::string_view tag = {});

// The process id in `name` when it has the pattern's form; 0 otherwise.
pid_t TempNameOwner(const TempNamePattern& pattern, std::string_view name);

// True when no process `pid` exists any more (kill(pid, 0) fails with ESRCH). A
// process of another user counts as alive.
bool ProcessIsGone(pid_t pid);

// Removes the entries of `folder` named by `pattern` whose process is gone: regular
// files (or, for a folders pattern, folders), never symbolic links, and only those
// of the current user. Returns how many went. Errors are ignored: an entry that
// cannot be removed stays for another run.
size_t RemoveStaleTemporaries(const std::string& folder, const TempNamePattern& pattern);

// The folder part of `path` ("." when it has none) and its last part.
std::string FolderOf(const std::string& path);
std::string BaseNameOf(const std::string& path);

}  // namespace kelvora
