// The progress display of the long steps (erase, write, verify, read) on
// standard error, in the mode the user chose.
#ifndef TARVION_PROGRESS_H
#define TARVION_PROGRESS_H

enum progress_mode {
  PROGRESS_DOTS,     // a title, a dot per block in lines of 20, "done"
  PROGRESS_PERCENT,  // one line per whole percent: "Writing 42% (27648/65536 bytes)"
  PROGRESS_NONE,     // nothing
};

// The mode named by text ("dots", "percent", "none"). Returns 0, or -1 with
// errno EINVAL for any other text (*mode untouched).
int progress_mode_parse(const char *text, progress_mode *mode);

// Sets the mode of every display started afterwards (PROGRESS_DOTS until
// then). Returns nothing.
void progress_set_mode(progress_mode mode);

// One display: a step of the run over total bytes.
struct progress_display {
  progress_mode mode;
  const char *phase;  // "Writing", "Verifying", "Reading"; borrowed
  long total;         // bytes of the step
  long done;          // bytes of the blocks begun before the current one
  long blocks;        // blocks begun
  int shown;          // the last percent printed; -1: none yet
};

// Starts a display of total bytes. shown false: the display stays silent
// whatever the mode (a caller without a display). Dots print title ("Flashing
// fw.hex", "Verifying"); percent prints "<phase> 0% (0/<total> bytes)".
void progress_start(progress_display *p, bool shown, const char *phase, const char *title,
                    long total);

// A block of bytes begins: dots print a dot (a line of its own every 20
// blocks); percent prints the line of the bytes done before it when a whole
// percent more is reached. Standard error is flushed in every mode.
void progress_step(progress_display *p, long bytes);

// The step is complete: dots print "\n\tdone\n"; percent prints the line of
// 100% unless it is shown.
void progress_finish(progress_display *p);

// A step without a measure (the erase): percent prints the phase alone on a
// line; dots and none print nothing.
void progress_phase(const char *phase);

#endif
