#include "high.h"

int high() { return low() + 1; }
