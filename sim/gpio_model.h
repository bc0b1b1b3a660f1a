// The sysfs stand-in: DIR/class/gpio/{export,unexport} and gpioN/{direction,
// value} for the reset and boot-select lines, all FIFOs, so that every write
// of the host is seen with its time. The simulator holds each FIFO open for
// reading (and a write end of its own, so that a writer's close never shows as
// end of file): a host's open for writing therefore never blocks.
#ifndef TARVION_SIM_GPIO_MODEL_H
#define TARVION_SIM_GPIO_MODEL_H

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

  size_t count() const { return fifos_.size(); }
  int fd(size_t i) const { return fifos_[i].rd; }

  // Reads what is waiting in every FIFO and appends the complete writes to
  // out, all seen at now. Writes to different files that arrive together
  // cannot tell their order, so they are put in the order in which a host
  // drives the lines: exports, directions, values, unexports; boot-select
  // values go just before the first rise of reset among them, so that the
  // rise samples the boot-select level the host set before it.
  void read_all(double now, std::vector<LineWrite> &out);

 private:
  struct Fifo {
    std::string path;
    LineWrite::Kind kind;
    Line line;
    int rd = -1;
    int wr = -1;
    bool created = false;
    std::string pending;  // text of a line not yet ended
  };

  void read(Fifo &f, double now, std::vector<LineWrite> &out);
  int add(const std::string &path, LineWrite::Kind kind, Line line, std::string &err);
  int make_dir(const std::string &path, std::string &err);

  std::vector<Fifo> fifos_;  // export, unexport, then direction and value per line
  std::vector<std::string> made_dirs_;
  char reset_level_ = '1';  // the last value written to reset
};

}  // namespace sim

#endif
