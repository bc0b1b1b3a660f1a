// The progress display of the long steps (erase, write, verify, read) on
// standard error, in the mode its caller passes in. Keeps no state of its
// own: each display lives in the record its caller holds.
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

// The total of a step without a measure (the erase).
constexpr long PROGRESS_UNMEASURED = -1;

// One display: a step of the run over total bytes.
struct progress_display {
  progress_mode mode;
  bool in_place;      // percent on a terminal: one line, rewritten after a carriage return
  const char *phase;  // "Erasing", "Writing", "Verifying", "Reading"; borrowed
  long total;         // bytes of the step, or PROGRESS_UNMEASURED
  long done;          // bytes of the blocks begun before the current one
  long blocks;        // blocks begun
  int shown;          // the last percent printed; -1: none yet
};

// Starts a display of total bytes in mode (PROGRESS_NONE: a caller without a
// display). Dots print title ("Flashing fw.hex", "Verifying"); percent
// prints "<phase> 0% (0/<total> bytes)". When standard error is a terminal
// the percent lines replace each other on one line (each begins with a
// carriage return, and only the step's end adds a line feed). A step without
// a measure prints "<phase>" and a line feed in percent mode, and nothing in
// the others.
void progress_start(progress_display *p, progress_mode mode, const char *phase, const char *title,
                    long total);

// A block of bytes begins: dots print a dot (a line of its own every 20
// blocks); percent prints the line of the bytes done before it when a whole
// percent more is reached. Standard error is flushed in every mode.
void progress_step(progress_display *p, long bytes);

// The step is complete: dots print "\n\tdone\n" (nothing for a step without
// a measure); percent prints the line of 100% ("<phase> 100%" without a
// measure) unless it is shown, and ends the line.
void progress_finish(progress_display *p);

// The step ends without completing (a failure follows): the line the display
// left open (its dots, or a line rewritten in place) is ended with a line
// feed, so that the message after it has a line of its own.
void progress_stop(progress_display *p);

// The step ends without completing, and the message that follows belongs on
// the line of the dots (the write's "Communication Error"): only a line
// rewritten in place is ended.
void progress_stop_in_line(progress_display *p);

#endif
