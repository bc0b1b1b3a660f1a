// GPIO lines and LEDs through the kernel's sysfs interface.
#ifndef TARVION_GPIO_H
#define TARVION_GPIO_H

#define GPIO_OUTPUT 1    // make the line an output and give it its value
#define GPIO_HIGH 2      // initial value of an output is 1
#define GPIO_NODIR_OK 4  // a missing direction file is no error
#define GPIO_VERBOSE 8   // report a direction file that cannot be opened

int init_gpio(int pin, int flags);
int set_gpio(int nr, int val);
int get_gpio(int nr);
void destroy_gpio(int pin);
int set_led_idx(int idx, int max, char **leds, int val);

#endif
