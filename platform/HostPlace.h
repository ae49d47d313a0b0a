#pragma once
// Names located once and acted on by descriptor. A share check decides on where a
// place lies (its canonical native path); the action then goes through the
// descriptor of the folder that holds it, never following a link, so the decision
// and the action concern one object: a link swapped into the path in between can
// make the action fail, never lead it elsewhere.
//
// Places are found beneath a server's shared folders (THostRoots), each opened once,
// so that no link, however it is swapped, leads a session outside them. A place made
// from a plain path (Named) acts on the path as it names things; engines use that
// where no owner judges their paths.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileHandle.h"
#include "platform/HostFs.h"

class THostPlace {
public:
  THostPlace() = default;  // names nothing: Empty()
  THostPlace(THostPlace&&) noexcept = default;
  THostPlace& operator=(THostPlace&&) noexcept = default;

  // An unjudged place: the drive-form path, acted on as named (links followed).
  static THostPlace Named(std::string_view path);

  bool Empty() const { return !located_ && path_.empty(); }
  // Found beneath a shared folder: acted on through Folder() and Name().
  bool Located() const { return located_; }
  // The canonical native path of a located place ("/home/ann/Music/a.txt"); of a
  // name below a folder that is not there, the path as far as it could be read.
  const std::string& Native() const { return native_; }
  // The drive-form path of a Named place.
  const std::string& Path() const { return path_; }
  // The open folder holding the place (invalid when a folder on the way is missing:
  // Missing() says why), and the place's name in it, "." for that folder itself.
  // The name is never a link, except where the place was located without following
  // its last link (a rename acts on the link itself).
  int Folder() const { return folder_.Get(); }
  const std::string& Name() const { return name_; }
  THostStatus Missing() const { return THostStatus(missing_); }

private:
  friend class THostRoots;
  bool located_ = false;
  std::string path_;
  std::string native_;
  FileHandle folder_;
  std::string name_;
  int missing_ = 0;
};

// The shared folders of one server, each opened once when the server starts and
// opened again when its path names another folder (removed and made again, a disk
// mounted on it). Every path a session acts on is located beneath them.
class THostRoots {
public:
  THostRoots() = default;
  THostRoots(THostRoots&&) noexcept = default;
  THostRoots& operator=(THostRoots&&) noexcept = default;

  // The folders, in drive form, as the owner wrote them; their order is kept, so
  // Native(i) is the folder of paths[i]. One that cannot be opened now is tried
  // again whenever it is asked for.
  explicit THostRoots(const std::vector<std::string>& paths);
  std::size_t Count() const { return roots_.size(); }
  // The canonical native path of folder i, "" while it cannot be opened.
  const std::string& Native(std::size_t i);

  // Locates path (drive form) beneath the outermost folder that holds it. Links are
  // followed (the last name's only with followLast) while they stay beneath the
  // folders: a relative one as the system would, an absolute one only into a
  // folder's own path. False when the path, or a link on the way, leads outside
  // every folder, or links loop.
  bool Locate(std::string_view path, bool followLast, THostPlace& place);

private:
  struct TRoot {
    std::string given;   // native form of the path as written
    std::string native;  // canonical, as opened
    FileHandle fd;       // O_PATH
  };
  class TWalk;
  bool Usable(TRoot& root);
  // The outermost usable folder whose path starts names; *depth its name count.
  TRoot* Holding(const std::vector<std::string>& names, std::size_t* depth);
  bool Walk(TRoot* root, std::vector<std::string> todo, bool followLast, THostPlace& place);

  std::vector<TRoot> roots_;
};

namespace HostFs {

// The facts of a place (a link's target's for a Named one); false when it is not there.
bool Stat(const THostPlace& place, THostEntry& entry);
THostStatus CreateDirectory(const THostPlace& place);
THostStatus DeleteFile(const THostPlace& place);
// Never replaces an existing target (EEXIST).
THostStatus Rename(const THostPlace& from, const THostPlace& to);
bool SetFileModTime(const THostPlace& place, std::int64_t utcSeconds);

}  // namespace HostFs
