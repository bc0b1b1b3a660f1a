#include "progress.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

progress_mode current_mode = PROGRESS_DOTS;

constexpr int kDotsPerLine = 20;

void show_percent(progress_display *p, long done) {
  const int percent = p->total > 0 ? static_cast<int>(done * 100 / p->total) : 100;
  if (percent <= p->shown) return;
  p->shown = percent;
  std::fprintf(stderr, "%s %d%% (%ld/%ld bytes)\n", p->phase, percent, done, p->total);
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

void progress_set_mode(progress_mode mode) {
  current_mode = mode;
}

void progress_start(progress_display *p, bool shown, const char *phase, const char *title,
                    long total) {
  *p = progress_display{shown ? current_mode : PROGRESS_NONE, phase, total, 0, 0, -1};
  if (p->mode == PROGRESS_DOTS) std::fputs(title, stderr);
  if (p->mode == PROGRESS_PERCENT) show_percent(p, 0);
}

void progress_step(progress_display *p, long bytes) {
  if (p->mode == PROGRESS_DOTS) {
    if (p->blocks % kDotsPerLine == 0) std::fputs("\n\t", stderr);
    std::fputc('.', stderr);
  }
  if (p->mode == PROGRESS_PERCENT) show_percent(p, p->done);
  p->done += bytes;
  ++p->blocks;
  std::fflush(stderr);
}

void progress_finish(progress_display *p) {
  if (p->mode == PROGRESS_DOTS) std::fputs("\n\tdone\n", stderr);
  if (p->mode == PROGRESS_PERCENT) show_percent(p, p->total);
  std::fflush(stderr);
}

void progress_phase(const char *phase) {
  if (current_mode != PROGRESS_PERCENT) return;
  std::fprintf(stderr, "%s\n", phase);
  std::fflush(stderr);
}
