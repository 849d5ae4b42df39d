#include "agent/controller_fetch.h"
