#pragma once
// The passive port range of one FTP server, owned by its TFtpServer.

#include <optional>
#include <vector>

// One in-use flag per port of the configured passive range. A port handed out
// by Acquire stays taken until Release gives it back; the setters refuse to
// move ports that are in use.
class TPasvPortTable {
public:
  int Start() const { return start_; }
  int Size() const { return static_cast<int>(inUse_.size()); }
  void SetStart(int start);
  void SetSize(int size);
  // The port to listen on: 0 (any) when no range is configured, the lowest free
  // port of the range otherwise, nullopt when every port of it is taken.
  std::optional<int> Acquire();
  // Frees a port of the range; anything else (0, a port outside) is ignored.
  void Release(int port);
  bool InUse(int port) const;

private:
  int start_ = 0;
  std::vector<bool> inUse_;
};
