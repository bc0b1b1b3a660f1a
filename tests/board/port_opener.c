/* port_opener: opens a serial port once as an unprivileged user would (uid
 * and gid 65534), as a terminal program started by mistake during a flash
 * does, and closes it again. Prints "opened PORT" or "PORT: reason".
 * Usage: port_opener PORT */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
  int fd;
  if (argc != 2) {
    fprintf(stderr, "usage: port_opener PORT\n");
    return 2;
  }
  if (setgid(65534) < 0 || setuid(65534) < 0) {
    perror("setuid");
    return 2;
  }
  fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    printf("%s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  printf("opened %s\n", argv[1]);
  close(fd);
  return 0;
}
