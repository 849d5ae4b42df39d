#include "agent/metrics.h"
