// A room above low: it may use low.
#pragma once
#include "low.h"
int high();
