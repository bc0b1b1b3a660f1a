// The pseudo-terminal that stands for the serial line, and whether the host
// has it open.
//
// Until the host opens the slave side the simulator holds a slave descriptor
// of its own ("keeper"): without one, the master reports a hang-up without
// end and reads fail with EIO. An inotify watch on the slave's path tells
// when somebody else opens it; then the keeper is closed, so that the host's
// last close shows on the master as a hang-up (EIO), which is how the
// simulator learns that the host has closed the port.
#ifndef TARVION_SIM_TERMINAL_H
#define TARVION_SIM_TERMINAL_H

#include <string>

namespace sim {

class Terminal {
 public:
  enum class Host { Absent, Present, HungUp };

  Terminal() = default;
  ~Terminal();
  Terminal(const Terminal &) = delete;
  Terminal &operator=(const Terminal &) = delete;

  // Creates the pseudo-terminal (raw, so that nothing is translated before the
  // host sets it up) and, when link is not empty, a symlink to its slave
  // (replacing an older symlink, never another kind of file). Returns 0, or -1
  // with a message in err.
  int open(const std::string &link, std::string &err);

  const std::string &slave_path() const { return slave_path_; }
  int master() const { return master_; }
  int notify() const { return notify_; }
  Host host() const { return host_; }

  // Reads the watch's events after notify() became readable. Returns true when
  // the host has opened the port since the last call.
  bool host_opened();

  // Bytes came from the host: it has the port open, whatever the watch said
  // (two opens close together may show as one event).
  void host_seen();

  // The host closed the port (the master read EIO): take the keeper again so
  // that the master stays quiet until the next open, and drop stale output.
  void host_closed();

  // Closes the master, as a pulled cable: the host's descriptor is hung up.
  void hang_up();

 private:
  int open_keeper();

  int master_ = -1;
  int keeper_ = -1;
  int notify_ = -1;
  int own_opens_ = 0;  // opens of our own that the watch will report
  Host host_ = Host::Absent;
  std::string slave_path_;
  std::string link_;
};

}  // namespace sim

#endif
