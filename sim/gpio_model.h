// The sysfs stand-in: DIR/class/gpio/{export,unexport} and gpioN/{direction,
// value} for the reset and boot-select lines, all FIFOs, so that every write
// of the host is seen with its time. From set-up until it is destroyed the
// stand-in holds each FIFO open for reading (and a write end of its own, so
// that a writer's close never shows as end of file): a host's open for writing
// therefore never blocks and never fails with ENXIO.
//
// The host's writes are taken in the order it made them, across files: one
// inotify watch over all FIFOs queues a modification event per write (and a
// close per open), in order, and each event takes one write from its FIFO.
#ifndef TARVION_SIM_GPIO_MODEL_H
#define TARVION_SIM_GPIO_MODEL_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class Line { Reset, Boot };

// One write the host made to a sysfs file.
struct LineWrite {
  enum Kind { Value, Direction, Export, Unexport } kind;
  Line line;         // for Value and Direction
  std::string text;  // "0"/"1", "out"/"in", or the line number written
  double seen;       // when the simulator read it

  // The words of its log record: "reset 1", "direction boot out", "export 17".
  std::string words() const;
};

class SysfsStandIn {
 public:
  SysfsStandIn() = default;
  ~SysfsStandIn();
  SysfsStandIn(const SysfsStandIn &) = delete;
  SysfsStandIn &operator=(const SysfsStandIn &) = delete;

  // Creates the tree under dir (directories as needed; FIFOs that exist
  // already are used as they are) and opens every FIFO. Returns 0, or -1 with
  // a message in err.
  int open(const std::string &dir, int reset_gpio, int boot_gpio, std::string &err);

  // Readable when the host has written to a FIFO.
  int fd() const { return notify_; }

  // Appends the writes the host has made since the last call to out, in the
  // order it made them, all seen at now.
  void read_all(double now, std::vector<LineWrite> &out);

 private:
  struct Fifo {
    std::string path;
    LineWrite::Kind kind;
    Line line;
    int rd = -1;
    int wr = -1;
    int watch = -1;
    bool created = false;
    std::string pending;  // text of a line not yet ended
  };

  struct Event {  // what the order needs of an inotify event
    int wd;
    uint32_t mask;
  };

  void read_events(std::vector<Event> &events);
  bool take_one(Fifo &f, double now, std::vector<LineWrite> &out);
  void take_rest(Fifo &f, double now, std::vector<LineWrite> &out);
  bool later_write(std::vector<Event> &events, size_t i);
  Fifo *by_watch(int watch);
  int add(const std::string &path, LineWrite::Kind kind, Line line, std::string &err);
  int make_dir(const std::string &path, std::string &err);

  std::vector<Fifo> fifos_;  // export, unexport, then direction and value per line
  std::vector<std::string> made_dirs_;
  int notify_ = -1;
};

}  // namespace sim

#endif
