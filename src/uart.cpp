#include "uart.h"
