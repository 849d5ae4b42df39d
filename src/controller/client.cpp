#include "controller/client.h"
