#include "image_ihex.h"
