#include "agent/retrieval.h"
