#include "progress.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kDotsPerLine = 20;

void show_percent(progress_display *p, long done, int percent) {
  if (percent <= p->shown) return;
  p->shown = percent;
  std::fprintf(stderr, p->in_place ? "\r%s %d%% (%ld/%ld bytes)" : "%s %d%% (%ld/%ld bytes)\n",
               p->phase, percent, done, p->total);
}

// An empty step is at 0% until it completes.
int percent_of(const progress_display *p, long done) {
  return p->total > 0 ? static_cast<int>(done * 100 / p->total) : 0;
}

}  // namespace

int progress_mode_parse(const char *text, progress_mode *mode) {
  static const struct {
    const char *name;
    progress_mode mode;
  } kNames[] = {{"dots", PROGRESS_DOTS}, {"percent", PROGRESS_PERCENT}, {"none", PROGRESS_NONE}};
  for (const auto &n : kNames) {
    if (text && std::strcmp(text, n.name) == 0) {
      *mode = n.mode;
      return 0;
    }
  }
  errno = EINVAL;
  return -1;
}

void progress_start(progress_display *p, progress_mode mode, const char *phase, const char *title,
                    long total) {
  const bool measured = total != PROGRESS_UNMEASURED;
  // Messages during a step without a measure (the erase's) need a line of
  // their own, so its line is never left open.
  const bool in_place = mode == PROGRESS_PERCENT && measured && ::isatty(STDERR_FILENO);
  *p = progress_display{mode, in_place, phase, total, 0, 0, -1};
  if (p->mode == PROGRESS_DOTS && measured) std::fputs(title, stderr);
  if (p->mode == PROGRESS_PERCENT && measured) show_percent(p, 0, 0);
  if (p->mode == PROGRESS_PERCENT && !measured) std::fprintf(stderr, "%s\n", phase);
  std::fflush(stderr);
}

void progress_step(progress_display *p, long bytes) {
  if (p->mode == PROGRESS_DOTS) {
    if (p->blocks % kDotsPerLine == 0) std::fputs("\n\t", stderr);
    std::fputc('.', stderr);
  }
  if (p->mode == PROGRESS_PERCENT) show_percent(p, p->done, percent_of(p, p->done));
  p->done += bytes;
  ++p->blocks;
  std::fflush(stderr);
}

void progress_finish(progress_display *p) {
  const bool measured = p->total != PROGRESS_UNMEASURED;
  if (p->mode == PROGRESS_DOTS && measured) std::fputs("\n\tdone\n", stderr);
  if (p->mode == PROGRESS_PERCENT && measured) show_percent(p, p->total, 100);
  if (p->mode == PROGRESS_PERCENT && !measured) std::fprintf(stderr, "%s 100%%\n", p->phase);
  if (p->in_place) std::fputc('\n', stderr);
  p->in_place = false;
  std::fflush(stderr);
}

void progress_stop_in_line(progress_display *p) {
  if (p->in_place) std::fputc('\n', stderr);
  p->in_place = false;
  std::fflush(stderr);
}

void progress_stop(progress_display *p) {
  // The dots' line is open from the title on.
  if (p->mode == PROGRESS_DOTS && p->total != PROGRESS_UNMEASURED) std::fputc('\n', stderr);
  progress_stop_in_line(p);
  // Ended once: the line is closed.
  p->mode = PROGRESS_NONE;
}
