/* line_holder: holds a line of a GPIO character device as a high output, as
 * another program on the board would, until it is killed. Prints "held" once
 * the kernel granted the line.
 * Usage: line_holder CHIP OFFSET */
#include <fcntl.h>
#include <linux/gpio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char **argv) {
  struct gpio_v2_line_request req;
  int chip;
  if (argc != 3) {
    fprintf(stderr, "usage: line_holder CHIP OFFSET\n");
    return 2;
  }
  chip = open(argv[1], O_RDWR);
  memset(&req, 0, sizeof req);
  req.offsets[0] = (unsigned)atoi(argv[2]);
  req.num_lines = 1;
  strcpy(req.consumer, "line_holder");
  req.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
  req.config.num_attrs = 1;
  req.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
  req.config.attrs[0].attr.values = 1;
  req.config.attrs[0].mask = 1;
  if (chip < 0 || ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &req) < 0) {
    perror(argv[1]);
    return 1;
  }
  printf("held\n");
  fflush(stdout);
  for (;;) pause();
}
