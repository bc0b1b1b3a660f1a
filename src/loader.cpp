#include "loader.h"
