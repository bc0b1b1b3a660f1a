#include "gpio.h"
